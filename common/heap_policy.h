// How the agents' heap hands memory back. They run for months with three
// threads that allocate in bursts: 1 MiB payloads the MQTT library reads in
// full before the agent drops them, floods of station events, queues of
// inbound messages. glibc's defaults keep what such a burst touched: a
// thread that meets a busy arena gets an arena of its own (on a loaded
// machine, one per thread), and freeing a large block raises the mmap
// threshold to its size, so the next large blocks come from the heap and
// stay there. One arena and fixed thresholds make large blocks mapped and
// unmapped again and keep the heap trimmed, so the footprint after a burst
// is the footprint before it.
#pragma once

// Call first thing in main, before any thread starts. A no-op on a C
// library without mallopt's tunables.
void bound_heap_retention();

// Hands the pages that lie wholly free inside the heap back to the system
// (the trim threshold only covers free memory at its top). The station
// samples and the script's report strings come and go in small blocks
// scattered over the heap, so after a report of a full station list whole
// pages sit free between live blocks. Cheap on a heap of a few hundred kB;
// the agents call it every few seconds of their run state.
void release_free_heap();
