// The configuration phase and its readout: decide whether the unit's configuration records must
// be converted, lower the line to 14400 for the configuration work, recognise the older layouts
// in a unit that was not identified, read the configuration region in checksummed blocks, judge
// what the records read show about earlier runs (never converting bytes an earlier run wrote),
// keep a copy; then convert, write back (config_writeback.cpp) and close the phase. With
// --restore-config the records come from the copy given instead of the unit.
#include "phases/config_phase.h"

#include <algorithm>
#include <vector>

#include "config/records.h"
#include "config/settings_state.h"
#include "copies/config_copy.h"
#include "copies/saved_config.h"
#include "copies/settings_copies.h"
#include "payload/release_code.h"
#include "phases/verify.h"
#include "protocol/protocol.h"
#include "run/write_plan.h"
#include "serial/link.h"

namespace quorel {

namespace {

constexpr uint32_t kReadBlockLength = 64;
// Six records of the middle layout: the extent read for a conversion.
constexpr uint32_t kReadoutLength = kConfigRecordCount * kRecordV2Size;
// The stretch a read is confirmed in, and how many confirmations a read gets.
constexpr uint32_t kConfirmStretch = 0x400;
constexpr int kMaxConfirmRounds = 3;

// Reads blocks [first, last) of the count bytes at address into destination through the block
// read exchange, setting the unit's length where it holds another one. With dots, a dot per
// 1024 bytes read.
bool ReadBlocks(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                uint32_t first, uint32_t last, bool dots, uint32_t* failedAt) {
  for (uint32_t i = first; i < last; ++i) {
    const uint32_t blockAddress = address + i * kReadBlockLength;
    const uint32_t length = std::min(kReadBlockLength, count - i * kReadBlockLength);
    if (s.link.unitLength != length) SendLength(s.link, length);
    uint8_t* target = destination + i * kReadBlockLength;
    uint32_t reported = 0;
    bool verified = RepeatUntilVerified(s.link, length, [&](int) {
      return ReadBlockAttempt(s.link, blockAddress, target, length, &reported, [&] {
        if (reported != 0) Print(s.console, "+");
      });
    });
    if (!verified) {
      *failedAt = blockAddress;
      return false;
    }
    if (dots && (blockAddress + length) % 0x400 == 0) Print(s.console, ".");
  }
  return true;
}

// Reads count bytes of the unit's memory at address in 64-byte blocks, each checked by the
// unit's sum. A block whose "A" was damaged on the line into another valid address is read from
// there, and its sum agrees there too; so the whole read is then confirmed in stretches of 1024
// bytes, each stretch's sum asked for at its own address and compared with the bytes read. A
// stretch that differs is read again and confirmed again, at most kMaxConfirmRounds times in
// all. The unit is left holding the length it held after the last block read.
PhaseResult ReadUnitMemory(UpdateState& s, uint32_t address, uint32_t count, uint8_t* destination,
                           bool dots) {
  const uint32_t blocks = (count + kReadBlockLength - 1) / kReadBlockLength;
  SendLength(s.link, kReadBlockLength);
  uint32_t failedAt = 0;
  if (!ReadBlocks(s, address, count, destination, 0, blocks, dots, &failedAt)) {
    return EndAfterBlockFailure(s, "configuration read", failedAt);
  }
  const uint32_t lengthAfterRead = s.link.unitLength;

  const uint32_t blocksPerStretch = kConfirmStretch / kReadBlockLength;
  std::vector<uint32_t> differing;
  for (int round = 0; round < kMaxConfirmRounds; ++round) {
    if (round > 0) {
      // The stretches that differed, read again block by block.
      for (uint32_t offset : differing) {
        Print(s.console, "+");
        const uint32_t first = offset / kReadBlockLength;
        const uint32_t last = std::min(blocks, first + blocksPerStretch);
        if (!ReadBlocks(s, address, count, destination, first, last, false, &failedAt)) {
          return EndAfterBlockFailure(s, "configuration read", failedAt);
        }
      }
    }
    differing.clear();
    for (uint32_t offset = 0; offset < count; offset += kConfirmStretch) {
      const uint32_t length = std::min(kConfirmStretch, count - offset);
      uint32_t sum = 0;
      if (!QuerySum(s, address + offset, length, &sum)) {
        return EndAfterBlockFailure(s, "configuration read check", address + offset);
      }
      if (sum != BlockChecksum(destination + offset, length)) differing.push_back(offset);
    }
    if (differing.empty()) {
      if (s.link.unitLength != lengthAfterRead) SendLength(s.link, lengthAfterRead);
      return kGoOn;
    }
  }
  if (CancelRequested()) return kInterruptedRun;
  Print(s.console,
        "\nThe unit's configuration could not be read back reliably (at %06X).\n"
        "The unit was not flashed. Update exiting\n",
        address + differing.front());
  return EndRun(kStatusFailed);
}

// With --restore-config: the conversion that takes the copy's records to the payload's layout.
ConfigConversionKind RestoreConversionKind(const UpdateState& s) {
  const uint32_t target = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  if (s.requests.restoreRecordSize == target) return kNoConversion;
  return s.requests.restoreRecordSize == kRecordV1Size ? kFromV1 : kFromV2;
}

// The first length bytes of the region as a complete write-back of the copy's settings leaves
// them: the copy as read, with each converted record laid where the write-back puts it. Bytes
// beyond the copy that the write-back does not write are unknown: *written says which are known.
std::vector<uint8_t> RegionAfterWriteBack(const UpdateState& s, const std::vector<uint8_t>& copy,
                                          uint32_t length, std::vector<bool>* known) {
  ConfigReadout converted{};
  std::copy(copy.begin(), copy.end(), converted.begin());
  ConvertConfig(converted, s.facts.configConversionKind, s.payload.productKind, s.payload.releaseCode);
  const uint32_t size = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  std::vector<uint8_t> region(length, 0);
  known->assign(length, false);
  for (uint32_t k = 0; k < length && k < copy.size(); ++k) {
    region[k] = copy[k];
    (*known)[k] = true;
  }
  for (uint32_t i = 0; i < kConfigRecordCount; ++i) {
    const uint32_t at = RecordOffsetInRegion(converted, i, size);
    for (uint32_t k = 0; k < size && at + k < length; ++k) {
      region[at + k] = converted[i * size + k];
      (*known)[at + k] = true;
    }
  }
  return region;
}

// Settings that pass as converted where they can be judged. The last record of the newest
// layout cannot be (its checksum lies beyond 0x8000, where the download writes): when an
// automatic copy of this unit converts to the five records judged, byte for byte, the last
// record's bytes below 0x8000 must be the copy's too, or a write-back was cut inside it. Those
// beyond the readout are read for it.
PhaseResult CheckLastRecordAgainstCopies(UpdateState& s, std::vector<KeptCopy>* proof) {
  const uint32_t source = s.facts.configConversionKind == kFromV1 ? kRecordV1Size : kRecordV2Size;
  const uint32_t size = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  if (size * kConfigRecordCount <= kReadoutLength) return kGoOn;  // every record was judged
  const uint8_t* read = s.facts.configReadout.data();
  const uint32_t judged = kReadoutLength / size * size;
  for (const KeptCopy& copy : KeptCopiesOfUnit(s)) {
    std::vector<uint8_t> bytes;
    uint32_t copySize = 0;
    std::string why;
    if (!LoadSettingsCopy(copy.path, &bytes, &copySize, &why) || copySize != source) continue;
    const uint32_t regionEnd = kConfigRegionEnd - kConfigRegionBase;
    std::vector<bool> known;
    const std::vector<uint8_t> expected = RegionAfterWriteBack(s, bytes, regionEnd, &known);
    if (!std::equal(expected.begin(), expected.begin() + judged, read)) continue;
    bool whole = std::equal(expected.begin() + judged, expected.begin() + kReadoutLength,
                            read + judged);
    if (whole && std::find(known.begin() + kReadoutLength, known.end(), true) != known.end()) {
      std::vector<uint8_t> rest(regionEnd - kReadoutLength);
      PhaseResult more = ReadUnitMemory(s, kConfigRegionBase + kReadoutLength,
                                        static_cast<uint32_t>(rest.size()), rest.data(), false);
      if (!more.goOn) return more;
      for (size_t k = 0; k < rest.size(); ++k) {
        const size_t at = kReadoutLength + k;
        if (known[at] && rest[k] != expected[at]) whole = false;
      }
    }
    if (!whole) {
      s.facts.settings.state = SettingsState::kPartlyWritten;
      s.facts.settings.recordsInNewLayout = kConfigRecordCount - 1;
      proof->push_back(copy);
    }
    return kGoOn;
  }
  return kGoOn;
}

// What the records read show. A first record that passes neither test, with the others in the
// old layout, is a write-back cut inside the first record when an automatic copy of this unit's
// model and release holds the others byte for byte: that copy is then the one to restore from.
PhaseResult JudgeSettings(UpdateState& s, std::vector<KeptCopy>* proof) {
  const uint32_t source = s.facts.configConversionKind == kFromV1 ? kRecordV1Size : kRecordV2Size;
  const uint32_t target = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  const uint8_t* read = s.facts.configReadout.data();
  s.facts.settings = ClassifySettings(read, kReadoutLength, source, target);
  s.facts.settingsJudged = true;
  if (s.facts.settings.state == SettingsState::kConverted) {
    return CheckLastRecordAgainstCopies(s, proof);
  }
  if (s.facts.settings.state != SettingsState::kFirstRecordCut) return kGoOn;
  for (const KeptCopy& copy : KeptCopiesOfUnit(s)) {
    std::vector<uint8_t> bytes;
    uint32_t size = 0;
    std::string why;
    if (!LoadSettingsCopy(copy.path, &bytes, &size, &why) || size != source) continue;
    if (std::equal(bytes.begin() + source, bytes.begin() + kConfigRecordCount * source,
                   read + source)) {
      s.facts.settings.state = SettingsState::kPartlyWritten;
      s.facts.settings.recordsInNewLayout = 0;
      proof->push_back(copy);
      return kGoOn;
    }
  }
  return kGoOn;
}

// Settings partly written by an earlier run, and no copy given to write instead: the run ends
// before anything is written, naming the copies to restore from.
PhaseResult StopOnPartlyWritten(UpdateState& s, const std::vector<KeptCopy>& proof) {
  const uint32_t k = s.facts.settings.recordsInNewLayout;
  Print(s.console,
        "\nThe unit's settings are partly written: an earlier run was cut short while writing "
        "them back\n");
  if (!proof.empty() && k == kConfigRecordCount - 1) {
    Print(s.console, "(records 0 to 4 are those of the copy below, converted; the last one is "
                     "not).\n");
  } else if (!proof.empty()) {
    Print(s.console, "(the first record is in neither layout; records 1 to 5 equal the copy below "
                     "byte for byte).\n");
  } else if (k > 0) {
    Print(s.console, "(%u of the six records are in the new layout, the others are not).\n", k);
  } else {
    Print(s.console, "(some records are in the new layout, others are not).\n");
  }
  Print(s.console, "Converting them again would lose them: nothing was written to the unit and it "
                   "was not flashed.\n");
  const std::vector<KeptCopy> copies = proof.empty() ? KeptCopiesOfUnit(s) : proof;
  if (!copies.empty()) {
    PrintRestoreCommands(s, copies);
  } else {
    Print(s.console,
          "No copy of this unit's settings is kept in %s.\n"
          "If you saved them with --save-config, put them back with the --restore-config option\n"
          "and that file.\n",
          s.requests.copyFolder.empty() ? "the copies' folder" : s.requests.copyFolder.c_str());
  }
  Print(s.console, "Update exiting\n");
  return EndRun(kStatusFailed);
}

// A unit that is not identified and whose first record is of no older layout is updated
// without a conversion. When an automatic copy of this unit (same model and code-region
// checksum) exists, an earlier run converted its settings and may have been cut short in the
// write-back, leaving the first record in the new layout: the records are then read and judged
// as that copy's layout, and settings partly written stop the run as in an identified unit.
PhaseResult LookForAnEarlierWriteBack(UpdateState& s) {
  const std::vector<KeptCopy> copies = KeptCopiesOfUnit(s);
  if (copies.empty()) return kGoOn;
  std::vector<uint8_t> bytes;
  uint32_t size = 0;
  std::string why;
  if (!LoadSettingsCopy(copies.front().path, &bytes, &size, &why)) return kGoOn;
  Print(s.console, "Reading config data..\n");
  PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kReadoutLength,
                                    s.facts.configReadout.data(), true);
  if (!read.goOn) return read;
  s.facts.configConversionKind = size == kRecordV1Size ? kFromV1 : kFromV2;
  std::vector<KeptCopy> proof;
  read = JudgeSettings(s, &proof);
  s.facts.configConversionKind = kNoConversion;
  if (!read.goOn) return read;
  if (s.facts.settings.state == SettingsState::kPartlyWritten) return StopOnPartlyWritten(s, proof);
  s.facts.settingsJudged = false;
  Print(s.console, "\n");
  return kGoOn;
}

// What the run knows of the unit's settings before it reads any: the conversion its release
// calls for, or, for an unidentified unit, none yet. True when the run does configuration work.
bool DecideConfigWork(UpdateState& s) {
  s.facts.configConversionKind = kNoConversion;
  s.facts.unitUnidentified = false;
  const ReleaseTable& table = s.payload.releaseTable;
  if (s.facts.releaseRow >= table.rows) {
    s.facts.unitUnidentified = true;
    s.facts.releaseRow = 0;
  } else {
    s.facts.configConversionKind = ConversionKindForRelease(table.code[s.facts.releaseRow], s.payload);
  }
  // --restore-config: the copy's settings take the place of the unit's, which are not read.
  const bool restoring = RestoringSettings(s);
  if (restoring) s.facts.configConversionKind = RestoreConversionKind(s);
  return restoring ? !s.options.identifyOnly : s.facts.unitUnidentified || ReadsConfigRegion(s);
}

PhaseResult LowerToConfigSpeed(UpdateState& s) {
  if (!SendSpeedAndReopen(s.link, kConfigSpeed)) {
    ReportPortSpeedFailure(s, kConfigSpeed);
    return EndRun(kStatusFailed);
  }
  if (!SingleProbe(s.link)) {
    if (CancelRequested()) return kInterruptedRun;
    return EndRun(kStatusFailed, "Connection failed at check config\n");
  }
  return kGoOn;
}

// --restore-config: the copy's settings, converted later like the unit's own would be.
PhaseResult TakeRestoredSettings(UpdateState& s) {
  const uint32_t target = TargetRecordSize(s.payload.productKind, s.payload.releaseCode);
  const uint32_t from = s.requests.restoreRecordSize;
  Print(s.console, "Settings to write: the copy %s (%s layout%s%s%s)\n",
        s.options.restoreConfigPath.c_str(), ConfigLayoutName(from),
        from != target ? ", converted to the " : "",
        from != target ? ConfigLayoutName(target) : "", from != target ? " layout" : "");
  std::copy(s.requests.restoreBytes.begin(), s.requests.restoreBytes.end(),
            s.facts.configReadout.data());
  std::fill(s.facts.configReadout.begin() + kReadoutLength, s.facts.configReadout.end(), 0);
  s.facts.runCopyPath = s.options.restoreConfigPath;
  NoteNothingToSave(s);
  return kGoOn;
}

// An unidentified unit: its first record tells the layout its settings are in.
PhaseResult CheckFirstRecord(UpdateState& s) {
  uint8_t* buffer = s.facts.configReadout.data();
  Print(s.console, "Checking config data..\n");
  PhaseResult read = ReadUnitMemory(s, kConfigRegionBase, kRecordV2Size, buffer, false);
  if (!read.goOn) return read;
  if (RecordPassesChecksum(buffer, kRecordV1Size)) {
    s.facts.configConversionKind = kFromV1;
    Print(s.console, "Config is pre 042803\n");
  }
  if (RecordPassesChecksum(buffer, kRecordV2Size) && s.payload.productKind != kBaseModel) {
    s.facts.configConversionKind = kFromV2;
    Print(s.console, "Config is pre 101203 for Pro\n");
  }
  return kGoOn;
}

// Reads the whole region, judges what earlier runs left in it and keeps the copies asked for.
PhaseResult ReadWholeRegion(UpdateState& s) {
  Print(s.console, "Reading config data..\n");
  PhaseResult read =
      ReadUnitMemory(s, kConfigRegionBase, kReadoutLength, s.facts.configReadout.data(), true);
  if (!read.goOn) return read;
  std::vector<KeptCopy> proof;
  if (s.facts.configConversionKind != kNoConversion) {
    read = JudgeSettings(s, &proof);
    if (!read.goOn) return read;
  }
  const SettingsState state = s.facts.settings.state;
  const bool partlyWritten = s.facts.settingsJudged && state == SettingsState::kPartlyWritten;
  // --save-config: the region as read, before it is converted; never settings partly written,
  // which could only replace a good copy that an earlier run saved under the same name.
  if (partlyWritten && !s.options.saveConfigPath.empty()) {
    Print(s.console, "\nThe settings read are partly written, so %s was left as it was\n",
          s.options.saveConfigPath.c_str());
  } else {
    read = SaveConfigCopy(s, kReadoutLength);
    if (!read.goOn) return read;
    if (!s.options.saveConfigPath.empty()) s.facts.runCopyPath = s.options.saveConfigPath;
  }
  if (s.facts.settingsJudged && !s.options.identifyOnly) {
    if (partlyWritten) return StopOnPartlyWritten(s, proof);
    if (state == SettingsState::kConverted) {
      Print(s.console,
            "\nSettings already converted by an earlier run: nothing to convert or write back\n");
      s.facts.configConversionKind = kNoConversion;
    } else if (state == SettingsState::kNeverConverted && s.options.saveConfigPath.empty()) {
      read = KeepAutomaticCopy(s, kReadoutLength);
      if (!read.goOn) return read;
    }
  }
  return kGoOn;
}

}  // namespace

PhaseResult ReadOutConfig(UpdateState& s) {
  const bool configWork = DecideConfigWork(s);
  if (s.link.currentSpeed > kConfigSpeed && configWork) {
    PhaseResult lowered = LowerToConfigSpeed(s);
    if (!lowered.goOn) return lowered;
  }
  if (RestoringSettings(s)) return TakeRestoredSettings(s);
  if (s.facts.unitUnidentified) {
    PhaseResult checked = CheckFirstRecord(s);
    if (!checked.goOn) return checked;
  }
  if (s.facts.unitUnidentified && s.facts.configConversionKind == kNoConversion &&
      !s.options.identifyOnly) {
    PhaseResult looked = LookForAnEarlierWriteBack(s);
    if (!looked.goOn) return looked;
  }
  if (!ReadsConfigRegion(s)) {
    NoteNothingToSave(s);  // --save-config
    return kGoOn;
  }
  PhaseResult read = ReadWholeRegion(s);
  if (!read.goOn) return read;
  // What lies beyond the region read (the tail of the last converted record) starts as zero.
  std::fill(s.facts.configReadout.begin() + kReadoutLength, s.facts.configReadout.end(), 0);
  // --identify sends nothing that closes the readout: it ends with X.
  if (!s.options.identifyOnly) SendCommand(s.link, kCmdK);
  return kGoOn;
}

PhaseResult ConfigPhase(UpdateState& s) {
  PhaseResult result = ReadOutConfig(s);
  if (!result.goOn) return result;
  if (WritesSettings(s)) {
    ConvertConfig(s.facts.configReadout, s.facts.configConversionKind, s.payload.productKind,
                  s.payload.releaseCode);
    result = RecordConfigAreaSums(s);
    if (!result.goOn) return result;
    result = WriteBackConfig(s);
    if (!result.goOn) return result;
  }
  return FinishConfigPhase(s);
}

}  // namespace quorel
