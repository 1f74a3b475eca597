#pragma once
// The base of components that write PCAP streams: every element of a PCAP output gets its own
// growable packet buffer and packet offset list, created when the output is allocated and reused
// for every write into that FIFO element.
//
// VANTpcap_class is the interface the packet reader reports through; VANTpcap_component derives
// from it and, virtually, from VANTComponent, so a concrete component names VANTComponent's
// constructor itself.
//
// Thread: everything here runs on the owning component's thread (Birth, Cycle, Death), except the
//   framework's release of the outputs, which runs once the component is dead.
// Ownership: the component owns the packet buffers and offset lists; the output elements only
//   point at them. They live from AllocatePcapOutputBuffers to FreePcapOutputBuffers, which hands
//   them to the outputs: freed once no reader holds an element that points into them.
// Failure: inconsistent input payloads and failed buffer allocations are reported; the former
//   raise VANT::ErrorException through Error, the latter std::bad_alloc.

#include "pcap_stream/vant_pcap_stream.h"
#include "runtime/vant_component.h"

#include <cstdint>
#include <memory>
#include <vector>

class VANTOutput;
class VANTIOElt;

/// What the packet reader calls on an inconsistent payload.
class VANTpcap_class {
public:
  /// Reports message and abandons the current operation; never returns.
  [[noreturn]] virtual void ReportPcapError(const char* message) = 0;

protected:
  ~VANTpcap_class() = default;
};

class VANTpcap_component : public VANTpcap_class, public virtual VANTComponent {
public:
  VANTpcap_component(const char* name, VANTComponentModelDefinition* record);
  ~VANTpcap_component() override;
  VANTpcap_component(const VANTpcap_component&) = delete;
  VANTpcap_component& operator=(const VANTpcap_component&) = delete;

  /// Error(message, 1, 0).
  [[noreturn]] void ReportPcapError(const char* message) override;

  /// The component's output release: FreePcapOutputBuffers.
  void ReleaseOutputs() override { FreePcapOutputBuffers(); }

  /// Gives every FIFO element of output (allocated with isize 49 and data) an empty packet
  /// buffer of 131072 bytes and an empty offset list, and fills its header (tag 1, no packet,
  /// header size 24). A failed allocation is reported, everything made so far is freed and
  /// std::bad_alloc propagates.
  void AllocatePcapOutputBuffers(VANTOutput* output);
  /// Hands every packet buffer and offset list to the outputs, which free them once no reader
  /// holds an element pointing into them, then releases the outputs. Safe to run twice.
  void FreePcapOutputBuffers();

  /// The packet buffers and offset lists, in FIFO order (for tests and writers). The elements'
  /// headers point at them.
  const std::vector<std::unique_ptr<VANTPcapPacketBuffer>>& OutputBuffers() const noexcept {
    return m_outputBuffers;
  }
  const std::vector<std::unique_ptr<VANTPcapOffsetList>>& PacketOffsets() const noexcept {
    return m_packetOffsets;
  }

protected:
  std::vector<std::unique_ptr<VANTPcapPacketBuffer>> m_outputBuffers;
  std::vector<std::unique_ptr<VANTPcapOffsetList>> m_packetOffsets;

private:
  /// The buffers and lists of the last allocation go to the outputs (see ReleaseWithOutputs).
  void HandOverBuffers();
};
