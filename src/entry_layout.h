#pragma once

#include <zip.h>

// Where an archive's entries lie, checked before anything of it is written. Each entry is
// described twice, by its central record and by the local header in front of its data; a
// reviewer's zip tool may read either, so both must say the same. And each entry's data must be
// its own: entries that share their data, or reach into the central directory, would turn a small
// package into a large installation.

// True when every entry's local header agrees with its central record (signature, name, method,
// and CRC-32 and sizes where the local header carries them rather than a data descriptor), and no
// entry's range (its local header, name, extra field and compressed data) overlaps another's or
// the central directory. `source` is the source `archive` was opened from, read for the raw
// records. A refusal is logged with its reason.
[[nodiscard]] bool entries_lie_apart_as_recorded(zip_t* archive, zip_source_t* source);
