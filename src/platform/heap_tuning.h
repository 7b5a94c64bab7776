// Heap tuning for a short-lived process that handles buffers of megabytes.
//
// A run reads string pools and tables of several megabytes into fresh buffers. On a
// virtual machine each first touch of a 4 KiB page is a costly fault: measured in
// bench/, faults made up most of the time spent on a database of 200,000 strings.
// With huge pages, and with freed buffers kept for reuse, that cost almost vanishes.
#pragma once

namespace mkx::platform {

/// Makes the C heap serve blocks of up to 32 MiB itself (no separate mapping per
/// block), keep memory that is freed for the next block, and back the first 62 MiB of
/// the heap with huge pages where the system allows it (transparent huge pages on
/// request); growth beyond that gets ordinary pages. Address
/// space is reserved, not touched: resident memory still follows use. Does nothing
/// where the C library or the system offers no such control (or under AddressSanitizer).
/// Call once, at the start of the program, before large buffers exist.
void TuneHeapForLargeBuffers();

}  // namespace mkx::platform
