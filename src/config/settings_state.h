#pragma once
// What the six records read from the unit show about earlier runs. A run that converts the
// settings writes them back in the new layout; cut short before it flashes, it leaves a unit
// that still runs its old firmware, and so still looks as if it needed the conversion. Each
// record is therefore tested both in the layout the conversion reads and in the layout the
// write-back puts it in, before anything is converted.
#include <cstdint>

namespace quorel {

enum class SettingsState {
  // Every record passes in the layout the conversion reads: convert.
  kNeverConverted,
  // Every record the readout holds passes in the new layout, and not all in the old one: an
  // earlier run converted them. Nothing to convert or write.
  kConverted,
  // Some records pass in the new layout, not all: a write-back was cut short (or converted
  // settings were damaged). Converting them again would lose them.
  kPartlyWritten,
  // The first record passes neither test and the others pass in the old layout: a write-back
  // cut inside the first record, or a first record damaged before any update.
  kFirstRecordCut,
  // Anything else, blank or damaged settings included: converted as they are.
  kUnrecognised,
};

struct SettingsFinding {
  SettingsState state = SettingsState::kUnrecognised;
  // For kPartlyWritten: how many records from the first on pass in the new layout.
  uint32_t recordsInNewLayout = 0;
};

// Judges the six records of the first readLength bytes of the configuration region (byte k from
// unit address 0x4000 + k), of sourceSize bytes each where the conversion reads them and of
// targetSize bytes each where the write-back puts them. Only the new-layout records that lie
// wholly inside the bytes read are judged. With equal sizes nothing can tell the two apart:
// kNeverConverted when every record passes, otherwise kUnrecognised.
SettingsFinding ClassifySettings(const uint8_t* readout, uint32_t readLength, uint32_t sourceSize,
                                 uint32_t targetSize);

// The console's name of a state, as --identify prints it.
const char* SettingsStateText(SettingsState state);

}  // namespace quorel
