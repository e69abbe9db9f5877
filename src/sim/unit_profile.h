#pragma once
// What a simulated unit of a given model and release looks like to the updater: the checksum by
// which the payload's release table identifies it, and the layout of its configuration records.
// Shared by the simulator and demo programs, which set units up by model and release.
#include <cstdint>

#include "payload/payload.h"

namespace quorel::sim {

// The code-region checksum of the first row of the given model and release that the table's
// first-match lookup finds (a row whose checksum an earlier row also holds is never found).
// False when there is no such row.
bool ChecksumOfRelease(const FirmwarePayload& payload, ProductKind kind, ReleaseCode code,
                       uint32_t* checksum);

// A code-region checksum that no row of the table holds: firmware the updater cannot identify.
uint32_t UnknownChecksum(const FirmwarePayload& payload);

// The size of the configuration records that firmware of the given model and release stores:
// 2480 before 042403, 2808 on the Pro model from 101203 on, 2512 otherwise.
uint32_t RecordSizeOfRelease(ProductKind kind, ReleaseCode code);

}  // namespace quorel::sim
