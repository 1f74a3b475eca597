#pragma once
// A diagram: which package files to load, which components to create (model, name, property
// values, the host's settings of their inputs and outputs), how they are connected, how fast
// engine time runs and what ends the run. It is read from a TOML file written by hand:
//
//   packages = ["corvex_sorting_multiplexer.pck"]
//   connections = ["player.output -> recorder.input", "player.end_of_file -> recorder.end_of_file"]
//   [engine]
//   speed = 0.5                 # engine time at half the real speed: players play paced
//   [end]
//   when = "recorder"           # "C": C ended its run; "C.end_of_file": C sent its end of file
//   duration = "10s"            # and/or: after this long
//   [[component]]
//   name = "player"
//   model = "PcapFilePlayer"
//   properties = { file = "in.pcap" }
//   fifo_size = { output = 8 }                 # elements of an output's buffer
//   reader_type = { input = "never_skipping" } # how an input reads its output's buffer
//
// Reading checks the form only (keys, types, names, the syntax of connections, an end condition);
// what needs the models (properties, inputs, outputs, stream types) is checked when the diagram
// is built (vant_diagram_run.h). Every mistake is told with the line it is on.

#include <cstdint>
#include <string>
#include <vector>

namespace VANT {

/// One mistake: the line (1-based) and what is wrong.
struct DiagramError {
  int line = 1;
  std::string text;
};

/// "FILE:LINE: text".
std::string FormatDiagramError(const std::string& file, const DiagramError& error);

struct DiagramValue {
  enum class Kind { kBoolean, kInteger, kFloat, kString };
  Kind kind = Kind::kInteger;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  int line = 1;

  /// "true", "12", "0.5", "\"text\"".
  std::string Text() const;
  /// "a boolean", "an integer", "a number", "a string".
  static const char* KindName(Kind kind);
};

/// A named value of a component: a property, or a setting of one of its inputs or outputs.
struct DiagramSetting {
  std::string name;
  DiagramValue value;
  int line = 1; // of the name
};

struct DiagramComponent {
  std::string name;
  std::string model;
  int line = 1;      // of the name
  int modelLine = 1; // of the model
  std::vector<DiagramSetting> properties;
  std::vector<DiagramSetting> fifoSizes;   // output name -> elements
  std::vector<DiagramSetting> readerTypes; // input name -> reader type name
};

struct DiagramConnection {
  std::string fromComponent, output;
  std::string toComponent, input;
  int line = 1;
};

struct DiagramPackage {
  std::string path; // as written
  int line = 1;
};

struct Diagram {
  std::string file;   // the diagram file, as given
  std::string folder; // its folder: relative paths in the diagram start there
  std::vector<DiagramPackage> packages;
  std::vector<DiagramComponent> components;
  std::vector<DiagramConnection> connections;
  double speed = 0; // > 0: engine time runs at this multiple of real time, players are paced
  int speedLine = 0;
  std::string endComponent; // [end] when: the component ...
  std::string endOutput;    // ... and its output (empty: the end of its run)
  int endLine = 0;          // line of "when", 0 when absent
  int64_t endDuration = 0;  // microseconds; 0: none
  int durationLine = 0;

  const DiagramComponent* Component(const std::string& name) const;
};

/// The reader type names of reader_type, in the order of their values (0 to 4).
const std::vector<std::string>& ReaderTypeNames();

/// Reads the diagram in `text` (from `file`). False with every mistake found in `errors`.
bool ParseDiagram(const std::string& text, const std::string& file, Diagram& diagram,
                  std::vector<DiagramError>& errors);
/// Reads the diagram file `path`; a file that cannot be read is a mistake at line 1.
bool ReadDiagram(const std::string& path, Diagram& diagram, std::vector<DiagramError>& errors);

} // namespace VANT
