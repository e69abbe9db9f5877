#include "os/serial_port_list_linux.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace quorel {
namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute, without its line end; empty when there is none.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

fs::path Canonical(const fs::path& path) {
  std::error_code error;
  fs::path resolved = fs::canonical(path, error);
  return error ? fs::path() : resolved;
}

// The stable links: tty name -> /dev/serial/by-id/ path.
std::map<std::string, std::string> ByIdLinks(const std::string& devRoot) {
  std::map<std::string, std::string> links;
  std::error_code error;
  fs::directory_iterator entries(fs::path(devRoot) / "serial" / "by-id", error);
  if (error) return links;
  for (const fs::directory_entry& entry : entries) {
    fs::path target = Canonical(entry.path());
    if (target.empty()) continue;
    const std::string name = target.filename().string();
    // Several links may name one port (one per interface name); the first by name wins.
    auto found = links.find(name);
    if (found == links.end() || entry.path().string() < found->second) {
      links[name] = entry.path().string();
    }
  }
  return links;
}

// Fills in the USB device's ids and names when the port sits on one: the device holding
// idVendor is the port's own device (an ACM interface's parent) or a level or two above it.
void ReadUsbDetails(const fs::path& device, SerialPortEntry* entry) {
  fs::path at = device;
  for (int level = 0; level < 3 && !at.empty(); ++level, at = at.parent_path()) {
    if (!Exists(at / "idVendor")) continue;
    entry->usb = true;
    entry->vendorId = ReadAttribute(at / "idVendor");
    entry->productId = ReadAttribute(at / "idProduct");
    entry->manufacturer = ReadAttribute(at / "manufacturer");
    entry->product = ReadAttribute(at / "product");
    entry->serialNumber = ReadAttribute(at / "serial");
    return;
  }
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const std::string& sysRoot,
                                             const std::string& devRoot) {
  std::vector<SerialPortEntry> ports;
  const std::map<std::string, std::string> links = ByIdLinks(devRoot);
  std::error_code error;
  fs::directory_iterator ttys(fs::path(sysRoot) / "class" / "tty", error);
  if (error) return ports;
  for (const fs::directory_entry& tty : ttys) {
    const std::string name = tty.path().filename().string();
    const fs::path device = Canonical(tty.path() / "device");
    if (device.empty()) continue;  // a virtual terminal, a pty, the console
    const fs::path driver = Canonical(device / "driver");
    if (driver.empty()) continue;  // no driver has taken the device
    if (name.rfind("ttyS", 0) == 0 && ReadAttribute(tty.path() / "type") == "0") continue;

    SerialPortEntry entry;
    entry.device = (fs::path(devRoot) / name).string();
    auto link = links.find(name);
    if (link != links.end()) entry.byId = link->second;
    entry.driver = driver.filename().string();
    ReadUsbDetails(device, &entry);
    ports.push_back(entry);
  }
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.device < b.device; });
  return ports;
}

std::string FormatPortList(const std::vector<SerialPortEntry>& ports) {
  if (ports.empty()) {
    return "No serial ports found (a USB-serial adapter shows up here once it is plugged in).\n";
  }
  std::string text;
  for (const SerialPortEntry& port : ports) {
    std::string line = port.device;
    auto add = [&line](const std::string& field) {
      if (!field.empty()) line += "  " + field;
    };
    if (port.usb) {
      add("USB " + port.vendorId + ":" + port.productId);
      add(port.manufacturer);
      add(port.product);
      if (!port.serialNumber.empty()) add("serial " + port.serialNumber);
      add(port.byId);
    } else {
      add(port.device.find("ttyS") != std::string::npos ? "built-in UART"
                                                          : "driver " + port.driver);
      add(port.byId);
    }
    text += line + "\n";
  }
  return text;
}

std::vector<std::string> CandidatePorts(const std::vector<SerialPortEntry>& ports) {
  std::vector<std::string> devices;
  for (const SerialPortEntry& port : ports) {
    if (port.usb) devices.push_back(port.device);
  }
  for (const SerialPortEntry& port : ports) {
    if (!port.usb) devices.push_back(port.device);
  }
  return devices;
}

std::vector<SerialPortEntry> SystemSerialPorts() { return ListSerialPorts("/sys", "/dev"); }

}  // namespace quorel
