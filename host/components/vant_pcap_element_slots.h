#pragma once
// VANTPcapElementSlots: the packet storage behind a PCAP output written by a host component, one
// packet buffer and one offset list per FIFO element, and the filling of one element at a time.
//
//   slots.Allocate(output, linkType);           // at Birth
//   VANTIOElt* element = StartWriting(output);
//   slots.Begin(element); slots.Append(...); ...; slots.Finish(element, linkType, timestamp);
//   StopWriting(element, slots.Count() == 0);
//
// Thread: the writing component's thread.
// Ownership: the slots own the buffers that published elements point into; they are freed by
//   the owner's outputs once handed over (HandOver), never while a reader may hold an element.

#include "pcap_stream/vant_pcap_data.h"

#include <cstdint>
#include <memory>
#include <vector>

class VANTComponent;
class VANTIOElt;
class VANTOutput;

class VANTPcapElementSlots {
public:
  /// Allocates the output's elements (one header each) and a packet buffer for each of them.
  /// The buffers of an earlier allocation are handed over first (HandOver). False when the
  /// output has no FIFO; std::bad_alloc without memory.
  [[nodiscard]] bool Allocate(VANTComponent& owner, VANTOutput* output, uint32_t linkType);
  /// Hands the buffers to the owner's outputs (VANTComponent::ReleaseWithOutputs): they go once
  /// no reader holds an element pointing into them. Called before the outputs are released (at
  /// Death) and when the owner goes; a reader may hold an element across both.
  void HandOver(VANTComponent& owner) noexcept;
  /// Starts filling `element`, as StartWriting gave it; false when it has no packet buffer.
  [[nodiscard]] bool Begin(VANTIOElt* element);
  /// Appends one packet to the element begun (the buffer grows as needed).
  void Append(int64_t tsSec, int64_t tsUsec, uint32_t inclLen, uint32_t origLen,
              const uint8_t* data);
  /// Completes the element begun: its header, its timestamp and its vector size.
  void Finish(VANTIOElt* element, uint32_t linkType, int64_t timestamp);
  /// Packets appended since Begin.
  uint32_t Count() const noexcept { return m_count; }

private:
  struct Slot {
    std::unique_ptr<VANTPcapPacketBuffer> buffer;
    VANTPcapOffsetList offsets;
  };
  using SlotList = std::vector<std::unique_ptr<Slot>>;
  std::shared_ptr<SlotList> m_slots; // element headers point into these: never moved
  VANTPcapPacketBuffer* m_buffer = nullptr;
  VANTPcapOffsetList* m_offsets = nullptr;
  uint32_t m_count = 0;
};
