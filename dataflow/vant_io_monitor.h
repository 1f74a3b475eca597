#pragma once
// VANTIOMonitor: lets the output, the module base and the engine walk the items of an output's
// FIFO, newest first, and reach the element each item carries.
//
// Thread: walking is not locked. Walk only while the FIFO is idle (buffer allocation, start,
//   stop), or accept that states change underneath.
// Ownership: items and elements belong to the FIFO; never delete what the walk hands out.

class VANTIOElt;
struct VANTFastIOItem;

class VANTIOMonitor {
public:
  /// The I/O element carried by `item`.
  virtual VANTIOElt* ElementOf(VANTFastIOItem* item) = 0; // 0
  /// Stores the head item (the newest) into *position and returns it; null when empty.
  virtual VANTFastIOItem* First(VANTFastIOItem** position) = 0; // 1
  /// Advances *position to the next (older) item and returns it; null at the end.
  virtual VANTFastIOItem* Next(VANTFastIOItem** position) = 0; // 2
  virtual ~VANTIOMonitor() = default;                          // 3
};
