#pragma once
// A resident client frees large blocks (a page of a shown PDF, a listing) that
// the C library keeps for reuse. Over a day that reads as growth; these hand it back.

// Once at start, before any thread: big blocks come straight from the system and
// go back when freed, and threads share a few heaps instead of one each.
void TuneMemoryAllocator();
// Returns freed pages of every heap to the system; cheap enough for a timer.
void ReturnFreedMemory();
