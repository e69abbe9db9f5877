// quorel-web-bridge: lets a web page in a browser reach a serial device of this machine, for
// testing the updater's page against quorel-sim. It serves a folder over http on 127.0.0.1 and,
// at /serial, a WebSocket per open port: the connection opens the device at the asked line
// settings as the updater's own open does (raw, exact speed through termios2, held exclusively),
// carries the bytes both ways and closes the device when the connection closes. A browser's
// serial ports cannot reach a pseudo-terminal; the page's stand-in for them speaks to this.
//
//   /serial?device=PATH&baudRate=N[&dataBits=8&stopBits=1&parity=none&flowControl=none]
//       WebSocket. The first message is the text "opened" or "error REASON". Then binary
//       messages carry bytes both ways; each binary message from the page is answered "wrote
//       N" once the device has taken all but kDeviceBufferBytes of it (as a tty's buffer
//       would have taken it); the text "signals NAME=true|false..." sets
//       dataTerminalReady, requestToSend and break and is answered "signals"; "lost" says the
//       device is gone (pulled, or its far end closed), and the connection closes.
//   /bridge/pull?device=PATH   pulls the device out: every connection on it gets "lost" and
//                              further opens fail until /bridge/plug?device=PATH.
//   /bridge/log?device=PATH    what the connections did to the device, one line each:
//                              open, signals, close, lost (milliseconds since the bridge began).
//   /bridge/reset?device=PATH  forgets the device's log and that it was pulled: a new unit on a
//                              path an earlier one had (pseudo-terminal numbers come back).
//   anything else              a file of the served folder ("/" is index.html).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "os/serial_posix.h"
#include "websocket.h"

namespace {

using quorel::web::Frame;
using quorel::web::FrameStatus;
using quorel::web::Opcode;

constexpr size_t kMaxRequestBytes = 16384;
constexpr size_t kMaxMessageBytes = 1 << 20;
// A serial port's driver takes this much written data before a write waits: the browser's
// write resolves once the system has the bytes, not once they are on the wire. A paced
// quorel-sim takes them at the line's pace; a write is answered once no more than this much of
// it is still waiting, as a tty's write returns.
constexpr uint64_t kDeviceBufferBytes = 4096;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

struct Client {
  int socket = -1;
  std::string in;           // bytes from the socket not handled yet
  std::string out;          // bytes for the socket
  bool closeWhenSent = false;
  bool webSocket = false;   // upgraded: a port connection
  bool closeSent = false;
  // The port connection's device.
  std::string device;
  int line = -1;
  std::string toLine;               // bytes for the device
  // The device took nothing last time. A pseudo-terminal whose output is stopped (a paced
  // quorel-sim holds the writer back as a UART's pace would) still polls writable, so a stalled
  // line is tried again on a short timer instead.
  bool stalled = false;
  uint64_t queued = 0;              // bytes ever queued for the device
  uint64_t written = 0;             // of which written
  uint64_t answered = 0;            // where the last message answered ended
  std::deque<uint64_t> messageEnds; // where each binary message ends, in queued
  std::string message;              // a fragmented message being put together
  Opcode messageOpcode = Opcode::kBinary;
};

struct Bridge {
  std::string root;
  int listener = -1;
  uint64_t startMs = 0;
  std::vector<std::unique_ptr<Client>> clients;
  std::set<std::string> pulled;
  std::map<std::string, std::vector<std::string>> logs;

  void Log(const std::string& device, const std::string& what) {
    logs[device].push_back(std::to_string(NowMs() - startMs) + " " + what);
  }
};

void SendText(Client& client, const std::string& text) {
  client.out += quorel::web::EncodeFrame(Opcode::kText, text);
}

void SendClose(Client& client, uint16_t code) {
  if (client.closeSent) return;
  std::string payload;
  payload += static_cast<char>(code >> 8);
  payload += static_cast<char>(code & 0xFF);
  client.out += quorel::web::EncodeFrame(Opcode::kClose, payload);
  client.closeSent = true;
  client.closeWhenSent = true;
}

void CloseLine(Client& client) {
  if (client.line < 0) return;
  ioctl(client.line, TIOCNXCL);
  close(client.line);
  client.line = -1;
  client.toLine.clear();
}

// The device is gone for this connection: it says so and closes.
void LoseLine(Bridge& bridge, Client& client, const char* why) {
  if (client.line < 0) return;
  CloseLine(client);
  bridge.Log(client.device, std::string("lost ") + why);
  SendText(client, "lost");
  SendClose(client, 1000);
}

struct LineSettings {
  uint32_t baudRate = 0;
  int dataBits = 8;
  int stopBits = 1;
  std::string parity = "none";
  std::string flowControl = "none";
};

// Why settings cannot be used, or empty.
std::string CheckSettings(const std::map<std::string, std::string>& query, LineSettings* s) {
  auto number = [&](const char* name, uint64_t max, uint64_t* value) {
    auto found = query.find(name);
    if (found == query.end()) return true;
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(found->second.c_str(), &end, 10);
    return errno == 0 && !found->second.empty() && *end == '\0' && *value <= max;
  };
  uint64_t value = 0;
  if (query.count("baudRate") == 0 || !number("baudRate", 4000000, &value) || value == 0) {
    return "baudRate must be a positive number";
  }
  s->baudRate = static_cast<uint32_t>(value);
  value = 8;
  if (!number("dataBits", 8, &value) || (value != 7 && value != 8)) return "dataBits must be 7 or 8";
  s->dataBits = static_cast<int>(value);
  value = 1;
  if (!number("stopBits", 2, &value) || (value != 1 && value != 2)) return "stopBits must be 1 or 2";
  s->stopBits = static_cast<int>(value);
  if (query.count("parity")) s->parity = query.at("parity");
  if (s->parity != "none" && s->parity != "even" && s->parity != "odd") {
    return "parity must be none, even or odd";
  }
  if (query.count("flowControl")) s->flowControl = query.at("flowControl");
  if (s->flowControl != "none" && s->flowControl != "hardware") {
    return "flowControl must be none or hardware";
  }
  return "";
}

// Opens the device as the updater opens a port: not as the controlling terminal, held
// exclusively, raw, at the exact speed. Returns the descriptor, or -1 with the reason.
int OpenLine(const std::string& path, const LineSettings& s, std::string* reason) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return -1;
  }
  auto fail = [&](const std::string& why) {
    close(fd);
    *reason = why;
    return -1;
  };
  if (!isatty(fd)) return fail("not a serial device");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    return fail("in use by another program");
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) return fail(std::strerror(errno));
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CLOCAL | CREAD | (s.dataBits == 7 ? CS7 : CS8);
  if (s.stopBits == 2) t.c_cflag |= CSTOPB;
  if (s.parity != "none") t.c_cflag |= PARENB | (s.parity == "odd" ? PARODD : 0);
  if (s.flowControl == "hardware") t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return fail(std::strerror(errno));
  uint32_t output = 0;
  uint32_t input = 0;
  if (int error = quorel::SetAndReadLineSpeed(fd, s.baudRate, &output, &input)) {
    return fail(std::string("cannot set ") + std::to_string(s.baudRate) + " bit/s: " +
                std::strerror(error));
  }
  if (!quorel::SpeedWithinTolerance(s.baudRate, output) ||
      !quorel::SpeedWithinTolerance(s.baudRate, input)) {
    return fail("the driver applied " + std::to_string(output) + " bit/s");
  }
  // What arrived before this open is not this open's to read.
  tcflush(fd, TCIFLUSH);
  return fd;
}

std::string HttpResponse(const std::string& status, const std::string& type,
                         const std::string& body) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

std::string ContentType(const std::string& path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"}, {".wasm", "application/wasm"},
      {".css", "text/css; charset=utf-8"}, {".json", "application/json"},
      {".png", "image/png"}, {".svg", "image/svg+xml"}, {".txt", "text/plain; charset=utf-8"},
  };
  for (const auto& [suffix, type] : kTypes) {
    const size_t n = std::strlen(suffix);
    if (path.size() >= n && path.compare(path.size() - n, n, suffix) == 0) return type;
  }
  return "application/octet-stream";
}

std::string ServeFile(const Bridge& bridge, const std::string& urlPath) {
  std::string path = quorel::web::PercentDecode(urlPath);
  // No way out of the folder: no "..", no hidden names.
  if (path.empty() || path[0] != '/' || path.find("/.") != std::string::npos ||
      path.find('\0') != std::string::npos) {
    return HttpResponse("404 Not Found", "text/plain", "not found\n");
  }
  if (path.back() == '/') path += "index.html";
  const std::string file = bridge.root + path;
  struct stat info {};
  if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return HttpResponse("404 Not Found", "text/plain", "not found\n");
  }
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream body;
  body << stream.rdbuf();
  return HttpResponse("200 OK", ContentType(path), body.str());
}

std::string Header(const std::string& request, const std::string& name) {
  std::istringstream lines(request);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon != name.size()) continue;
    if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
    size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    return line.substr(start);
  }
  return "";
}

void OpenPortConnection(Bridge& bridge, Client& client, const std::string& request,
                        const std::map<std::string, std::string>& query) {
  const std::string key = Header(request, "Sec-WebSocket-Key");
  if (key.empty()) {
    client.out += HttpResponse("400 Bad Request", "text/plain", "a WebSocket only\n");
    client.closeWhenSent = true;
    return;
  }
  client.out += "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " + quorel::web::AcceptKey(key) + "\r\n\r\n";
  client.webSocket = true;
  auto device = query.find("device");
  client.device = device == query.end() ? "" : device->second;
  LineSettings settings;
  std::string reason = CheckSettings(query, &settings);
  if (client.device.empty()) reason = "no device named";
  if (reason.empty() && bridge.pulled.count(client.device) != 0) reason = "the device is gone";
  if (reason.empty()) client.line = OpenLine(client.device, settings, &reason);
  std::string asked;
  for (const char* name : {"baudRate", "dataBits", "stopBits", "parity", "flowControl"}) {
    auto found = query.find(name);
    if (found != query.end()) asked += std::string(" ") + name + "=" + found->second;
  }
  if (client.line < 0) {
    bridge.Log(client.device, "open" + asked + " failed: " + reason);
    SendText(client, "error " + reason);
    SendClose(client, 1000);
    return;
  }
  bridge.Log(client.device, "open" + asked);
  SendText(client, "opened");
}

// "signals dataTerminalReady=false requestToSend=false": sets the lines the device has (a
// pseudo-terminal has none) and logs what was asked.
void SetSignals(Bridge& bridge, Client& client, const std::string& text) {
  std::istringstream words(text);
  std::string word;
  words >> word;
  std::string logged = "signals";
  while (words >> word) {
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const bool on = equals != std::string::npos && word.substr(equals + 1) == "true";
    int bits = 0;
    if (name == "dataTerminalReady") bits = TIOCM_DTR;
    if (name == "requestToSend") bits = TIOCM_RTS;
    if (client.line >= 0) {
      if (bits != 0) ioctl(client.line, on ? TIOCMBIS : TIOCMBIC, &bits);
      if (name == "break") ioctl(client.line, on ? TIOCSBRK : TIOCCBRK);
    }
    logged += " " + word;
  }
  bridge.Log(client.device, logged);
  SendText(client, "signals");
}

void HandleMessage(Bridge& bridge, Client& client, Opcode opcode, const std::string& payload) {
  if (opcode == Opcode::kBinary) {
    if (client.line < 0) return;
    client.toLine += payload;
    client.queued += payload.size();
    client.messageEnds.push_back(client.queued);
    if (payload.empty()) {
      client.messageEnds.pop_back();
      SendText(client, "wrote 0");
    }
  } else if (opcode == Opcode::kText && payload.rfind("signals", 0) == 0) {
    SetSignals(bridge, client, payload);
  }
}

void HandleFrames(Bridge& bridge, Client& client) {
  for (;;) {
    Frame frame;
    const FrameStatus status = quorel::web::TakeFrame(&client.in, kMaxMessageBytes, &frame);
    if (status == FrameStatus::kNeedMore) return;
    if (status == FrameStatus::kBad) {
      CloseLine(client);
      SendClose(client, 1002);
      return;
    }
    switch (frame.opcode) {
      case Opcode::kPing:
        client.out += quorel::web::EncodeFrame(Opcode::kPong, frame.payload);
        break;
      case Opcode::kPong:
        break;
      case Opcode::kClose:
        // The page closed the port: the device is closed before the close is answered, so
        // an open that follows finds it free.
        if (client.line >= 0) {
          CloseLine(client);
          bridge.Log(client.device, "close");
        }
        SendClose(client, 1000);
        return;
      case Opcode::kText:
      case Opcode::kBinary:
        client.messageOpcode = frame.opcode;
        client.message = frame.payload;
        if (frame.fin) HandleMessage(bridge, client, frame.opcode, client.message);
        break;
      case Opcode::kContinuation:
        client.message += frame.payload;
        if (frame.fin) HandleMessage(bridge, client, client.messageOpcode, client.message);
        break;
    }
  }
}

void HandleRequest(Bridge& bridge, Client& client) {
  const size_t end = client.in.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (client.in.size() > kMaxRequestBytes) {
      client.out += HttpResponse("431 Request Header Fields Too Large", "text/plain", "");
      client.closeWhenSent = true;
    }
    return;
  }
  const std::string request = client.in.substr(0, end + 2);
  client.in.erase(0, end + 4);
  std::istringstream first(request);
  std::string method, target;
  first >> method >> target;
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const auto query = quorel::web::ParseQuery(
      question == std::string::npos ? "" : target.substr(question + 1));
  if (method != "GET") {
    client.out += HttpResponse("405 Method Not Allowed", "text/plain", "GET only\n");
    client.closeWhenSent = true;
    return;
  }
  if (path == "/serial") {
    OpenPortConnection(bridge, client, request, query);
    if (client.webSocket) HandleFrames(bridge, client);
    return;
  }
  client.closeWhenSent = true;
  const auto device = query.find("device");
  const std::string named = device == query.end() ? "" : device->second;
  if (path == "/bridge/pull" || path == "/bridge/plug") {
    int connections = 0;
    if (path == "/bridge/pull") {
      bridge.pulled.insert(named);
      bridge.Log(named, "pulled");
      for (auto& other : bridge.clients) {
        if (other->webSocket && other->device == named && other->line >= 0) {
          LoseLine(bridge, *other, "(pulled)");
          ++connections;
        }
      }
    } else {
      bridge.pulled.erase(named);
      bridge.Log(named, "plugged");
    }
    client.out += HttpResponse("200 OK", "text/plain", std::to_string(connections) + "\n");
  } else if (path == "/bridge/reset") {
    bridge.pulled.erase(named);
    bridge.logs.erase(named);
    client.out += HttpResponse("200 OK", "text/plain", "");
  } else if (path == "/bridge/log") {
    std::string text;
    for (const std::string& line : bridge.logs[named]) text += line + "\n";
    client.out += HttpResponse("200 OK", "text/plain", text);
  } else {
    client.out += ServeFile(bridge, path);
  }
}

// Reads what the device sent and hands it to the page; false when the device is gone.
bool ReadLine(Client& client) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(client.line, buffer, sizeof buffer);
    if (got > 0) {
      client.out += quorel::web::EncodeFrame(Opcode::kBinary,
                                             std::string(buffer, static_cast<size_t>(got)));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;
  }
}

// Writes what waits for the device; answers each message once all of it is in. False when the
// device is gone.
bool WriteLine(Client& client) {
  while (!client.toLine.empty()) {
    const ssize_t put = write(client.line, client.toLine.data(), client.toLine.size());
    client.stalled = put < 0 && errno == EAGAIN;
    if (put < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      return false;
    }
    client.toLine.erase(0, static_cast<size_t>(put));
    client.written += static_cast<uint64_t>(put);
  }
  while (!client.messageEnds.empty() &&
         client.messageEnds.front() <= client.written + kDeviceBufferBytes) {
    const uint64_t endAt = client.messageEnds.front();
    client.messageEnds.pop_front();
    SendText(client, "wrote " + std::to_string(endAt - client.answered));
    client.answered = endAt;
  }
  return true;
}

bool SendOut(Client& client) {
  while (!client.out.empty()) {
    const ssize_t sent = send(client.socket, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EINTR;
    client.out.erase(0, static_cast<size_t>(sent));
  }
  return true;
}

void DropClient(Bridge& bridge, Client& client) {
  if (client.line >= 0) {
    CloseLine(client);
    bridge.Log(client.device, "close (connection dropped)");
  }
  close(client.socket);
  client.socket = -1;
}

int Listen(uint16_t port, uint16_t* bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *bound = ntohs(address.sin_port);
  return fd;
}

void Accept(Bridge& bridge) {
  for (;;) {
    int fd = accept4(bridge.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto client = std::make_unique<Client>();
    client->socket = fd;
    bridge.clients.push_back(std::move(client));
  }
}

void Serve(Bridge& bridge) {
  sigset_t blocked, original;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &original);
  sigset_t waiting = original;
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  while (!g_stop) {
    std::vector<pollfd> fds{{bridge.listener, POLLIN, 0}};
    bool stalled = false;
    for (auto& c : bridge.clients) {
      const bool writing = !c->toLine.empty() && !c->stalled;
      stalled = stalled || (!c->toLine.empty() && c->stalled);
      fds.push_back({c->socket, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
      fds.push_back({c->line, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0});
    }
    const timespec retry{0, 1000000};
    if (ppoll(fds.data(), fds.size(), stalled ? &retry : nullptr, &waiting) < 0) {
      if (errno == EINTR) continue;
      std::perror("quorel-web-bridge: poll");
      return;
    }
    if (fds[0].revents & POLLIN) Accept(bridge);
    for (size_t i = 0; i + 1 < fds.size(); i += 2) {
      Client& c = *bridge.clients[i / 2];
      const short socketEvents = fds[i + 1].revents;
      const short lineEvents = fds[i + 2].revents;
      if (c.line >= 0 && (lineEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadLine(c)) {
        LoseLine(bridge, c, "(the device failed)");
      }
      if (c.line >= 0 && !WriteLine(c)) LoseLine(bridge, c, "(the device failed)");
      if ((socketEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.closeSent) {
        char buffer[65536];
        const ssize_t got = recv(c.socket, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
          DropClient(bridge, c);
          continue;
        }
        if (got > 0) c.in.append(buffer, static_cast<size_t>(got));
        if (c.webSocket) {
          HandleFrames(bridge, c);
        } else {
          HandleRequest(bridge, c);
        }
        if (c.line >= 0 && !WriteLine(c)) LoseLine(bridge, c, "(the device failed)");
      } else if ((socketEvents & (POLLHUP | POLLERR)) != 0) {
        DropClient(bridge, c);
        continue;
      }
      if (!SendOut(c)) {
        DropClient(bridge, c);
        continue;
      }
      if (c.closeWhenSent && c.out.empty()) DropClient(bridge, c);
    }
    std::vector<std::unique_ptr<Client>> kept;
    for (auto& c : bridge.clients) {
      if (c->socket >= 0) kept.push_back(std::move(c));
    }
    bridge.clients = std::move(kept);
  }
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Bridge bridge;
  uint16_t port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      bridge.root = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      port = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: quorel-web-bridge --root FOLDER [--port N]\n"
                   "Serves FOLDER on http://127.0.0.1:N/ (N chosen when not given; the first "
                   "line printed is the address) and serial devices on ws://127.0.0.1:N/serial.\n");
      return 2;
    }
  }
  struct stat info {};
  if (bridge.root.empty() || stat(bridge.root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "quorel-web-bridge: --root must name a folder\n");
    return 2;
  }
  while (bridge.root.size() > 1 && bridge.root.back() == '/') bridge.root.pop_back();
  uint16_t bound = 0;
  bridge.listener = Listen(port, &bound);
  if (bridge.listener < 0) {
    std::fprintf(stderr, "quorel-web-bridge: cannot listen on 127.0.0.1:%u: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  bridge.startMs = NowMs();
  std::printf("http://127.0.0.1:%u/\n", bound);
  Serve(bridge);
  for (auto& c : bridge.clients) DropClient(bridge, *c);
  close(bridge.listener);
  return 0;
}
