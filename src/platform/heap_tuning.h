#pragma once
// Heap settings for a process about to scan an installation. A scan builds tens of
// megabytes of small objects (INF texts, the document, name indexes), and on a virtual
// machine the fault taken on each newly touched 4 KiB page costs more than the work done
// in it. Growing the heap in large steps and asking for transparent huge pages on it cuts
// those faults by two orders of magnitude.
#include <cstddef>

namespace vornel::platform {

// Call once, early in main, before the scan allocates. Safe to call more than once; does
// nothing where the C library or the kernel lacks a setting. True when this call set the
// heap up: its next new object starts a huge page advised as such.
bool TuneHeapForScan();

// The same for a thread about to allocate much of its own (its arena); does nothing unless
// TuneHeapForScan was called. Call on that thread.
bool TuneThreadHeap();

}  // namespace vornel::platform
