#include "common/expected_run.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/text_format.h"
#include "common/updater_tap.h"

namespace quorel::sim::expected {

namespace {

uint64_t Fnv(const uint8_t* data, size_t length) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * 0x100000001B3ull;
  return hash;
}

bool EndsWith(const std::string& text, const char* tail) {
  const std::string end(tail);
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// How a newer record is made from an older one: a stretch of the new record is either copied
// from the old record (from >= 0) or filled with one byte.
struct Piece {
  uint32_t to;
  uint32_t length;
  int32_t from;
  uint8_t fill;
};

// Oldest layout (2480 bytes) to middle layout (2512): the leading bytes stay, the two bytes at
// 26 are dropped, four groups of eight defaults and two zero bytes come in, the body moves up.
const Piece kOldestToMiddle[] = {
    {0, 26, 0, 0},     {26, 8, -1, 0x04}, {34, 8, -1, 0x05}, {42, 8, -1, 0x80},
    {50, 8, -1, 0x7C}, {58, 2, -1, 0x00}, {60, 2448, 28, 0},
};
// Middle layout (2512 bytes) to newest (2808): bytes 76 to 371 are repeated as a new block
// before the last 64 bytes of the body.
const Piece kMiddleToNewest[] = {
    {0, 2444, 0, 0},
    {2444, 296, 76, 0},
    {2740, 64, 2444, 0},
};

// Rewrites the first kRecords records of buffer from one layout to the next, in place: the
// sources are copied first, since the longer records overlap the later sources.
template <size_t N>
void ConvertAll(std::vector<uint8_t>& buffer, uint32_t fromSize, uint32_t toSize,
                const Piece (&pieces)[N]) {
  const std::vector<uint8_t> source(buffer.begin(), buffer.begin() + kRecords * fromSize);
  for (uint32_t r = 0; r < kRecords; ++r) {
    const uint8_t* old = source.data() + r * fromSize;
    uint8_t* record = buffer.data() + r * toSize;
    for (const Piece& piece : pieces) {
      for (uint32_t k = 0; k < piece.length; ++k) {
        record[piece.to + k] =
            piece.from >= 0 ? old[static_cast<uint32_t>(piece.from) + k] : piece.fill;
      }
    }
    SealRecord(record, toSize);
  }
}

}  // namespace

// ---- Releases ----

uint32_t TargetRecordSize(ProductKind payloadModel, ReleaseCode payloadRelease) {
  return payloadModel != kBaseModel && !Older(payloadRelease, kNewestLayoutFrom) ? kRecordV3
                                                                                 : kRecordV2;
}

int KindForRelease(ReleaseCode unit, ProductKind payloadModel, ReleaseCode payloadRelease) {
  if (Older(unit, kMiddleLayoutFrom) && !Older(payloadRelease, kMiddleLayoutFrom)) return 1;
  if (payloadModel != kBaseModel && Older(unit, kNewestLayoutFrom) &&
      !Older(payloadRelease, kNewestLayoutFrom)) {
    return 2;
  }
  return 0;
}

int KindForFirstRecord(const uint8_t* firstRecord, ProductKind payloadModel) {
  int kind = 0;
  if (RecordPasses(firstRecord, kRecordV1)) kind = 1;
  if (RecordPasses(firstRecord, kRecordV2) && payloadModel != kBaseModel) kind = 2;
  return kind;
}

bool SecondImageSent(ReleaseCode unit, ProductKind payloadModel) {
  return Older(unit, payloadModel == kBaseModel ? kSecondImageBeforeBase : kSecondImageBeforePro);
}

// ---- Records ----

std::vector<uint8_t> Converted(const uint8_t* buffer, int kind, ProductKind payloadModel,
                               ReleaseCode payloadRelease) {
  std::vector<uint8_t> records(buffer, buffer + kBufferBytes);
  if (kind == 1) ConvertAll(records, kRecordV1, kRecordV2, kOldestToMiddle);
  if (kind != 0 && TargetRecordSize(payloadModel, payloadRelease) == kRecordV3) {
    ConvertAll(records, kRecordV2, kRecordV3, kMiddleToNewest);
  }
  return records;
}

uint32_t RecordAddress(uint32_t record, uint32_t size, uint8_t firstByte) {
  if (record == 5 && size == kRecordV3 && firstByte == kMovedRecordMark) {
    return kConfigBase + 4 * size;
  }
  return kConfigBase + record * size;
}

// ---- The blocks of a run ----

std::vector<Block> RangeBlocks(Range range, const uint8_t* source) {
  std::vector<Block> blocks;
  for (uint32_t address = range.start; address < range.end; address += kImageBlock) {
    blocks.push_back({address, std::min(kImageBlock, range.end - address),
                      source + (address - range.start), false});
  }
  return blocks;
}

Plan PlanRun(const FirmwarePayload& payload, ReleaseCode unitRelease, int kind,
             const uint8_t* readBuffer) {
  Plan plan;
  plan.kind = kind;
  plan.secondImage = SecondImageSent(unitRelease, payload.productKind);
  std::vector<Block> order;
  if (kind != 0 && readBuffer != nullptr) {
    plan.recordSize = TargetRecordSize(payload.productKind, payload.releaseCode);
    plan.converted = Converted(readBuffer, kind, payload.productKind, payload.releaseCode);
    const uint32_t size = plan.recordSize;
    for (uint32_t r = 0; r < kRecords; ++r) {
      const uint8_t* record = plan.converted.data() + r * size;
      const uint32_t address = RecordAddress(r, size, record[0]);
      for (uint32_t at = 0; at < size; at += kWriteBlock) {
        order.push_back({address + at, std::min(kWriteBlock, size - at), record + at, true});
      }
    }
  }
  for (const Block& b : RangeBlocks(kMainFirst, payload.SwImage)) order.push_back(b);
  for (const Block& b : RangeBlocks(kMainSecond, payload.SwImage + kMainSecond.start)) {
    order.push_back(b);
  }
  if (plan.secondImage) {
    for (const Block& b : RangeBlocks(kSecondImage, payload.HwImage)) order.push_back(b);
  }
  // Only the last write at an address counts.
  std::map<uint32_t, size_t> lastAt;
  for (size_t i = 0; i < order.size(); ++i) lastAt[order[i].address] = i;
  for (size_t i = 0; i < order.size(); ++i) {
    if (lastAt[order[i].address] == i) plan.blocks.push_back(order[i]);
  }
  return plan;
}

std::vector<uint32_t> VisibleLengths(const std::vector<Block>& blocks) {
  std::vector<uint32_t> visible;
  for (size_t i = 0; i < blocks.size(); ++i) {
    uint32_t end = blocks[i].address + blocks[i].length;
    for (size_t j = i + 1; j < blocks.size(); ++j) {
      const Block& later = blocks[j];
      if (later.address < end && later.address + later.length > blocks[i].address) {
        end = std::max(blocks[i].address, std::min(end, later.address));
      }
    }
    visible.push_back(end - blocks[i].address);
  }
  return visible;
}

// ---- What every finished run shows ----

void CheckEnding(const FinishedRun& run, std::vector<std::string>* violations) {
  auto violation = [&](const std::string& text) { violations->push_back(text); };
  const std::string& console = *run.console;
  const std::string& written = run.tap->written();
  if (run.status != 0 && run.status != 1) {
    violation(Format("exit status %d is none of the program's", run.status));
  }
  if (!EndsWith(console, kKeyPrompt)) violation("the console does not end with the key prompt");
  if (run.portOpen) violation("the port was left open");
  const bool saysFlashing = console.find(kSaysFlashing) != std::string::npos;
  if (run.tap->flashSent()) {
    if (run.status != 1) violation(Format("flashed, but exit status %d", run.status));
    if (!EndsWith(written, kFlashTail)) violation("the flash command was not the last thing sent");
    if (!saysFlashing) violation("flashed without saying so");
    return;
  }
  if (saysFlashing) violation("said it was flashing but never sent the flash command");
  // A run that gives up on a unit that answered leaves it with X, unless the port itself has
  // gone and nothing can be sent any more.
  if (run.unitAnswered && !run.portGone && (written.empty() || written.back() != 'X')) {
    violation("gave up after the unit answered without sending X last");
  }
}

void CheckBlocksAtFlash(const std::vector<Block>& plan, const UpdaterTap& tap,
                        std::vector<std::string>* violations) {
  const std::map<uint32_t, UpdaterTap::BlockAttempt>& sent = tap.blocksAtFlash();
  std::set<uint32_t> planned;
  for (const Block& block : plan) {
    planned.insert(block.address);
    auto found = sent.find(block.address);
    if (found == sent.end()) {
      violations->push_back(
          Format("flashed without ever sending the block at %06X", block.address));
      continue;
    }
    const UpdaterTap::BlockAttempt& attempt = found->second;
    if (attempt.length != block.length || attempt.hash != Fnv(block.data, block.length)) {
      violations->push_back(
          Format("the block at %06X went out as %u bytes of sum %x, not the %u bytes of "
                 "sum %x it must carry",
                 block.address, attempt.length, attempt.sum, block.length,
                 ByteSum(block.data, block.length)));
    }
    if (!attempt.Verified()) {
      violations->push_back(Format("flashed after the block at %06X (sum %x) got the reply \"%s\"",
                                   block.address, attempt.sum, attempt.reply.c_str()));
    }
  }
  for (const auto& entry : sent) {
    if (planned.count(entry.first) == 0) {
      violations->push_back(
          Format("sent a block at %06X that no range of this run holds", entry.first));
    }
  }
}

}  // namespace quorel::sim::expected
