#pragma once
// A graph of components in the engine stand-in, and its run: the one pipeline corvex-merge and
// corvex-run share. corvex-merge builds its graph in code (file players or live captures, the
// package's multiplexer, a file recorder); corvex-run builds the graph a diagram file describes.
//
// The graph owns a Host with the host's own models (file player, file recorder, live capture)
// and the packages it loaded; the components, each with the part the host's models play; and
// the connections made. Run() starts the components (the recorders first, then the players and
// captures, then the others, each after those it feeds), watches them until the owner's
// GraphRunPolicy says the run is over or something fails, stops them the other way round (the
// components that read a buffer stop before the one that owns it, the recorders last) and waits
// for their threads to be gone. The players keep in step through one player group, the
// captures through one capture group (JoinGroups).
//
// Thread: everything here is called from one thread (the program's main thread).

#include "host/components/vant_live_capture_group.h"
#include "host/components/vant_pcap_file_player.h"
#include "host/host_reports.h"
#include "tools/graph/vant_graph_progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Host;
class VANTModule;
class VANTInput;
class VANTOutput;
class vant_pcap_file_recorder;
class vant_pcap_live_capture;

namespace VANT {

/// The part a component plays: one of the host's own models, or a component of a package.
enum class GraphRole { kOther, kPlayer, kRecorder, kCapture };

struct GraphPart {
  std::string name;
  std::string model;
  GraphRole role = GraphRole::kOther;
  VANTModule* module = nullptr;
  vant_pcap_file_player* player = nullptr;     // role kPlayer
  vant_pcap_file_recorder* recorder = nullptr; // role kRecorder
  vant_pcap_live_capture* capture = nullptr;   // role kCapture
  bool endOfFileConnected = false;             // a recorder's end_of_file input is connected

  /// A host model failed (its own failure text tells why).
  bool Failed() const;
  std::string FailureText() const;
  /// A host model has finished its work (a player or capture sent its end of file, a recorder
  /// wrote it and closed its file).
  bool Finished() const;
};

/// Live captures that feed one component whose output a recorder writes (a multiplexer between
/// captures and a recorder): they publish in turn through one capture group, and the recorder
/// tells the group each element it wrote. The component must write each element as it reads it
/// (a multiplexer with no reorder buffer), or the captures wait for writes that never come.
struct GraphCaptureMerge {
  GraphPart* merger = nullptr;
  GraphPart* recorder = nullptr;
  std::vector<GraphPart*> captures; // in the order they were added: the group's members
  VANTLiveCaptureGroup* group = nullptr;
};

/// What a run asks of the graph's owner: when it is over, and how failures are told.
class GraphRunPolicy {
public:
  enum class Step { kGoOn, kDone };
  virtual ~GraphRunPolicy() = default;
  /// Called every few milliseconds while everything runs: `signal` is the signal caught (0 for
  /// none; SIGINT when the graph has live captures, any other ends the run as "interrupted"
  /// before this is called). kDone ends the run; a non-empty `failure` fails it.
  virtual Step Watch(int signal, std::chrono::steady_clock::duration elapsed,
                     std::string& failure) = 0;
  /// True takes a report off the warnings the run shows.
  virtual bool TakeReport(const HostReport& report);
  /// Why host model `part` failed (its own failure text by default), for the run's errors.
  virtual std::string FailureOf(const GraphPart& part);
  /// Why `part` ended in error, for the run's errors.
  virtual std::string ErrorOf(const GraphPart& part);
  /// Why `part` did not start; `reason` is its failure text or the host's reports (may be empty).
  virtual std::string NotStarted(const GraphPart& part, const std::string& reason);
};

struct GraphRunResult {
  bool ok = false;
  std::vector<std::string> errors;
  std::vector<std::string> warnings; // reports of the components worth showing
};

class ComponentGraph {
public:
  ComponentGraph();
  ~ComponentGraph();
  ComponentGraph(const ComponentGraph&) = delete;
  ComponentGraph& operator=(const ComponentGraph&) = delete;

  /// Makes the engine stand-in and adds the host's models; false with the reason in `error`.
  bool Open(std::string& error);
  Host& GetHost() { return *m_host; }

  bool LoadPackage(const std::string& path, std::string& error);
  /// Creates a component; nullptr with the reason in `error` (an unknown model, or the host's
  /// error reports). The part stays where it is for the graph's life.
  GraphPart* Add(const std::string& model, const std::string& name, std::string& error);
  GraphPart* Find(const std::string& name);
  /// The component whose output is connected to `part`'s input `input`, or nullptr.
  const GraphPart* SourceOf(const GraphPart& part, const std::string& input) const;
  std::deque<GraphPart>& Parts() { return m_parts; }
  const std::deque<GraphPart>& Parts() const { return m_parts; }
  bool HasCaptures() const;

  VANTOutput* OutputNamed(const std::string& fullName);
  VANTInput* InputNamed(const std::string& fullName);
  /// Sets an integer property (component.name or component.element.name) and reads it back:
  /// false when it is missing or refused its value.
  bool SetInteger(const std::string& fullName, int64_t value);
  /// Connects "component.output" to "component.input"; false with the host's reason.
  bool Connect(const std::string& output, const std::string& input, std::string& reason);
  /// The host's error reports since the last call, joined with "; ".
  std::string TakeErrorReports();
  /// Lets a component make its inputs and outputs and type them (the engine's Dynamic step).
  void RunDynamic(GraphPart& part);

  /// The players into one group, in the order they were added: none sends before every member
  /// is ready, none runs ahead of one that is late. The captures that feed one component whose
  /// output a recorder writes into a capture group each (the others capture on their own), with
  /// `captureDelayBound` as the delivery bound. Call it once every connection is made.
  std::vector<GraphCaptureMerge> JoinGroups(int64_t captureDelayBound);
  /// Engine time runs at `speed` times real time and the players play paced from
  /// `firstTimestamp` (the earliest packet of their inputs; INT64_MAX: none).
  void SetPacing(double speed, int64_t firstTimestamp);
  void SetInputTotal(uint64_t bytes) { m_inputTotal = bytes; }

  /// Ends every live capture (once): what was captured up to now is still written.
  void EndCaptures();
  /// A component ended its run: a host model finished, or a component died.
  bool Ended(const GraphPart& part);
  /// Every recorder (with `onlyWithEndOfFile`: those whose end_of_file input is connected) has
  /// finished its file.
  bool RecordersFinished(bool onlyWithEndOfFile) const;
  /// Grows whenever a packet moves or a component finishes.
  uint64_t Movement() const;
  GraphProgress Progress(std::chrono::steady_clock::time_point start) const;
  /// Runs, statistics and buffer overruns of an output.
  uint64_t OverrunCount(VANTOutput* output);
  /// The component's statistic, or false when it has none.
  bool Statistic(const GraphPart& part, const char* name, std::string& value);

  /// Runs the graph, calling `progress` about every `progressInterval` seconds, until `policy`
  /// says it is over, something fails, or `cancel` (a signal caught) becomes non-zero.
  /// `beforeStop` is called when the run is over, before anything stops (what the components
  /// counted is still there).
  GraphRunResult Run(GraphRunPolicy& policy,
                     const std::function<void(const GraphProgress&)>& progress,
                     double progressInterval, const std::atomic<int>* cancel,
                     const std::function<void()>& beforeStop = nullptr);

  /// Sources before what they feed: `feeds` holds (from, to) pairs of indices below `count`;
  /// what is left in a loop keeps its order.
  static std::vector<size_t> FlowOrder(size_t count,
                                       const std::vector<std::pair<size_t, size_t>>& feeds);

private:
  bool StartAll(GraphRunPolicy& policy, std::string& failure);
  void StopAll();
  void DrainReports(GraphRunPolicy& policy, std::vector<HostReport>& warnings);
  std::string CheckFailure(GraphRunPolicy& policy);
  std::vector<size_t> OrderOfConnections() const;

  Host* m_host = nullptr; // never deleted: a loaded package keeps its pointer to the engine
  std::deque<GraphPart> m_parts;
  struct Connection {
    size_t from, to; // part indices
    std::string output, input;
  };
  std::vector<Connection> m_connections; // made
  std::unique_ptr<VANTPcapPlayerGroup> m_playerGroup;
  std::vector<std::unique_ptr<VANTLiveCaptureGroup>> m_captureGroups;
  bool m_capturesEnded = false;
  uint64_t m_inputTotal = 0;
};

} // namespace VANT
