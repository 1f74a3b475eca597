#include "tools/run/vant_diagram.h"

#include "tools/merge/vant_merge_options.h"

// Header-only: the parser is compiled into this file (no shared library to match the build).
#define TOML_HEADER_ONLY 1
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <toml++/toml.h>

namespace VANT {
namespace {

int LineOf(const toml::source_region& region) {
  return region.begin.line > 0 ? static_cast<int>(region.begin.line) : 1;
}

/// Reads one document; every mistake goes to errors with its line.
class DiagramReader {
public:
  DiagramReader(Diagram& diagram, std::vector<DiagramError>& errors)
      : m_diagram(diagram), m_errors(errors) {}

  void Read(const toml::table& root);

private:
  void Error(int line, std::string text) { m_errors.push_back({line, std::move(text)}); }
  /// Every key of `table` that is not among `known` is a mistake.
  void OnlyKeys(const toml::table& table, std::initializer_list<const char*> known,
                const std::string& where);
  /// The string at `key` of `table`; a mistake (and false) when it is missing or no string.
  bool String(const toml::table& table, const char* key, const std::string& where, int tableLine,
              std::string& value, int& line);
  void ReadPackages(const toml::node& node);
  void ReadConnections(const toml::node& node);
  void ReadEngine(const toml::node& node);
  void ReadEnd(const toml::node& node);
  void ReadComponents(const toml::node& node);
  void ReadComponent(const toml::table& table);
  /// The entries of an inline or plain table of values.
  bool ReadSettings(const toml::node& node, const std::string& where,
                    std::vector<DiagramSetting>& settings);
  void CheckNames();

  Diagram& m_diagram;
  std::vector<DiagramError>& m_errors;
};

void DiagramReader::OnlyKeys(const toml::table& table, std::initializer_list<const char*> known,
                             const std::string& where) {
  for (auto&& [key, node] : table) {
    bool found = false;
    std::string list;
    for (const char* name : known) {
      found = found || key.str() == name;
      list += std::string(list.empty() ? "" : ", ") + name;
    }
    if (!found) {
      Error(LineOf(key.source()),
            "unknown key '" + std::string(key.str()) + "'" + where + " (known: " + list + ")");
    }
  }
}

bool DiagramReader::String(const toml::table& table, const char* key, const std::string& where,
                           int tableLine, std::string& value, int& line) {
  const toml::node* node = table.get(key);
  if (node == nullptr) {
    Error(tableLine, where + " has no " + key);
    return false;
  }
  line = LineOf(node->source());
  if (!node->is_string() || node->as_string()->get().empty()) {
    Error(line, std::string(key) + " must be a non-empty string");
    return false;
  }
  value = node->as_string()->get();
  return true;
}

void DiagramReader::ReadPackages(const toml::node& node) {
  const toml::array* array = node.as_array();
  if (array == nullptr) {
    Error(LineOf(node.source()), "packages must be an array of file names");
    return;
  }
  for (const toml::node& entry : *array) {
    if (!entry.is_string() || entry.as_string()->get().empty()) {
      Error(LineOf(entry.source()), "a package must be a file name (a string)");
      continue;
    }
    m_diagram.packages.push_back({entry.as_string()->get(), LineOf(entry.source())});
  }
}

/// "comp.name" into its two parts; false when it is not of that form.
bool SplitEnd(const std::string& text, std::string& component, std::string& element) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == text.size() ||
      text.find('.', dot + 1) != std::string::npos) {
    return false;
  }
  component = text.substr(0, dot);
  element = text.substr(dot + 1);
  return true;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

void DiagramReader::ReadConnections(const toml::node& node) {
  const toml::array* array = node.as_array();
  if (array == nullptr) {
    Error(LineOf(node.source()), "connections must be an array of \"a.output -> b.input\"");
    return;
  }
  for (const toml::node& entry : *array) {
    const int line = LineOf(entry.source());
    const std::string text = entry.is_string() ? entry.as_string()->get() : std::string();
    const size_t arrow = text.find("->");
    DiagramConnection connection;
    connection.line = line;
    if (arrow == std::string::npos ||
        !SplitEnd(Trim(text.substr(0, arrow)), connection.fromComponent, connection.output) ||
        !SplitEnd(Trim(text.substr(arrow + 2)), connection.toComponent, connection.input)) {
      Error(line, "a connection must read \"component.output -> component.input\"");
      continue;
    }
    m_diagram.connections.push_back(std::move(connection));
  }
}

void DiagramReader::ReadEngine(const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    Error(LineOf(node.source()), "engine must be a table");
    return;
  }
  OnlyKeys(*table, {"speed"}, " in [engine]");
  if (const toml::node* speed = table->get("speed")) {
    m_diagram.speedLine = LineOf(speed->source());
    const std::optional<double> value = speed->value<double>();
    if (!value || !(*value >= 0.001 && *value <= 1000000)) {
      Error(m_diagram.speedLine, "speed must be a number from 0.001 to 1000000");
    } else {
      m_diagram.speed = *value;
    }
  }
}

void DiagramReader::ReadEnd(const toml::node& node) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    Error(LineOf(node.source()), "end must be a table");
    return;
  }
  OnlyKeys(*table, {"when", "duration"}, " in [end]");
  if (const toml::node* when = table->get("when")) {
    m_diagram.endLine = LineOf(when->source());
    const std::string text = when->is_string() ? when->as_string()->get() : std::string();
    std::string component;
    std::string output;
    if (text.find('.') == std::string::npos && !text.empty()) {
      m_diagram.endComponent = text;
    } else if (SplitEnd(text, component, output)) {
      m_diagram.endComponent = component;
      m_diagram.endOutput = output;
    } else {
      Error(m_diagram.endLine, "when must name a component, or a component's output "
                               "(\"component.end_of_file\")");
      m_diagram.endLine = 0;
    }
  }
  if (const toml::node* duration = table->get("duration")) {
    m_diagram.durationLine = LineOf(duration->source());
    int64_t microseconds = 0;
    if (!duration->is_string() || !ParseDuration(duration->as_string()->get(), microseconds) ||
        microseconds <= 0) {
      Error(m_diagram.durationLine,
            "duration must be a string such as \"10s\", \"500ms\" or \"2min\", above 0");
    } else {
      m_diagram.endDuration = microseconds;
    }
  }
}

bool DiagramReader::ReadSettings(const toml::node& node, const std::string& where,
                                 std::vector<DiagramSetting>& settings) {
  const toml::table* table = node.as_table();
  if (table == nullptr) {
    Error(LineOf(node.source()), where + " must be a table of names and values");
    return false;
  }
  for (auto&& [key, value] : *table) {
    DiagramSetting setting;
    setting.name = key.str();
    setting.line = LineOf(key.source());
    setting.value.line = LineOf(value.source());
    switch (value.type()) {
    case toml::node_type::boolean:
      setting.value.kind = DiagramValue::Kind::kBoolean;
      setting.value.boolean = value.as_boolean()->get();
      break;
    case toml::node_type::integer:
      setting.value.kind = DiagramValue::Kind::kInteger;
      setting.value.integer = value.as_integer()->get();
      break;
    case toml::node_type::floating_point:
      setting.value.kind = DiagramValue::Kind::kFloat;
      setting.value.real = value.as_floating_point()->get();
      break;
    case toml::node_type::string:
      setting.value.kind = DiagramValue::Kind::kString;
      setting.value.text = value.as_string()->get();
      break;
    default:
      Error(setting.line, "the value of " + setting.name +
                              " must be a boolean, an integer, a number or a string");
      continue;
    }
    settings.push_back(std::move(setting));
  }
  return true;
}

void DiagramReader::ReadComponent(const toml::table& table) {
  const int line = LineOf(table.source());
  OnlyKeys(table, {"name", "model", "properties", "fifo_size", "reader_type"}, " in a component");
  DiagramComponent component;
  component.line = line;
  String(table, "name", "a component", line, component.name, component.line);
  String(table, "model", component.name.empty() ? "a component" : "component " + component.name,
         line, component.model, component.modelLine);
  if (const toml::node* node = table.get("properties")) {
    ReadSettings(*node, "properties", component.properties);
  }
  if (const toml::node* node = table.get("fifo_size")) {
    ReadSettings(*node, "fifo_size", component.fifoSizes);
  }
  if (const toml::node* node = table.get("reader_type")) {
    ReadSettings(*node, "reader_type", component.readerTypes);
  }
  for (const DiagramSetting& setting : component.fifoSizes) {
    if (setting.value.kind != DiagramValue::Kind::kInteger || setting.value.integer < 1 ||
        setting.value.integer > 1000000) {
      Error(setting.value.line, "the FIFO size of " + component.name + "." + setting.name +
                                    " must be an integer from 1 to 1000000");
    }
  }
  for (const DiagramSetting& setting : component.readerTypes) {
    bool known = false;
    std::string list;
    for (const std::string& name : ReaderTypeNames()) {
      known = known ||
              (setting.value.kind == DiagramValue::Kind::kString && setting.value.text == name);
      list += (list.empty() ? "" : ", ") + name;
    }
    if (!known) {
      Error(setting.value.line, "the reader type of " + component.name + "." + setting.name +
                                    " must be one of " + list);
    }
  }
  if (!component.name.empty() && !component.model.empty()) {
    m_diagram.components.push_back(std::move(component));
  }
}

void DiagramReader::ReadComponents(const toml::node& node) {
  const toml::array* array = node.as_array();
  if (array == nullptr) {
    Error(LineOf(node.source()), "component must be an array of tables ([[component]])");
    return;
  }
  for (const toml::node& entry : *array) {
    if (const toml::table* table = entry.as_table()) {
      ReadComponent(*table);
    } else {
      Error(LineOf(entry.source()), "a component must be a table");
    }
  }
}

void DiagramReader::CheckNames() {
  std::map<std::string, int> seen;
  for (const DiagramComponent& component : m_diagram.components) {
    if (component.name.find('.') != std::string::npos) {
      Error(component.line, "a component name cannot hold a dot: " + component.name);
    }
    const auto [at, added] = seen.emplace(component.name, component.line);
    if (!added) {
      Error(component.line, "duplicate component name " + component.name + " (first at line " +
                                std::to_string(at->second) + ")");
    }
  }
  for (const DiagramConnection& connection : m_diagram.connections) {
    for (const std::string* name : {&connection.fromComponent, &connection.toComponent}) {
      if (seen.count(*name) == 0) {
        Error(connection.line, "unknown component " + *name);
      }
    }
  }
  if (!m_diagram.endComponent.empty() && seen.count(m_diagram.endComponent) == 0) {
    Error(m_diagram.endLine, "unknown component " + m_diagram.endComponent);
  }
}

void DiagramReader::Read(const toml::table& root) {
  OnlyKeys(root, {"packages", "connections", "engine", "end", "component"}, "");
  if (const toml::node* node = root.get("packages")) {
    ReadPackages(*node);
  }
  if (const toml::node* node = root.get("component")) {
    ReadComponents(*node);
  }
  if (const toml::node* node = root.get("connections")) {
    ReadConnections(*node);
  }
  if (const toml::node* node = root.get("engine")) {
    ReadEngine(*node);
  }
  const toml::node* end = root.get("end");
  if (end != nullptr) {
    ReadEnd(*end);
  }
  if (m_diagram.endLine == 0 && m_diagram.endDuration == 0 && m_errors.empty()) {
    Error(end != nullptr ? LineOf(end->source()) : 1,
          "no end condition: give [end] when = \"component\" (or \"component.end_of_file\") "
          "and/or duration = \"10s\"");
  }
  CheckNames();
}

} // namespace

std::string FormatDiagramError(const std::string& file, const DiagramError& error) {
  return file + ":" + std::to_string(error.line) + ": " + error.text;
}

std::string DiagramValue::Text() const {
  switch (kind) {
  case Kind::kBoolean:
    return boolean ? "true" : "false";
  case Kind::kInteger:
    return std::to_string(integer);
  case Kind::kFloat: {
    std::ostringstream out;
    out << real;
    return out.str();
  }
  case Kind::kString:
    return "\"" + text + "\"";
  }
  return {};
}

const char* DiagramValue::KindName(Kind kind) {
  switch (kind) {
  case Kind::kBoolean:
    return "a boolean";
  case Kind::kInteger:
    return "an integer";
  case Kind::kFloat:
    return "a number";
  case Kind::kString:
    return "a string";
  }
  return "a value";
}

const DiagramComponent* Diagram::Component(const std::string& name) const {
  for (const DiagramComponent& component : components) {
    if (component.name == name) {
      return &component;
    }
  }
  return nullptr;
}

const std::vector<std::string>& ReaderTypeNames() {
  static const std::vector<std::string> names = {"fifo", "never_skipping", "last_or_next",
                                                 "wait_for_next", "sampling"};
  return names;
}

bool ParseDiagram(const std::string& text, const std::string& file, Diagram& diagram,
                  std::vector<DiagramError>& errors) {
  diagram.file = file;
  diagram.folder = std::filesystem::path(file).parent_path().string();
  toml::table root;
  try {
    root = toml::parse(text, file);
  } catch (const toml::parse_error& error) {
    errors.push_back({LineOf(error.source()), std::string(error.description())});
    return false;
  }
  DiagramReader reader(diagram, errors);
  reader.Read(root);
  return errors.empty();
}

bool ReadDiagram(const std::string& path, Diagram& diagram, std::vector<DiagramError>& errors) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  struct stat info {};
  if (in.is_open() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = EISDIR; // a folder opens, but reads as nothing
    in.close();
  }
  if (!in.is_open()) {
    errors.push_back({1, std::string("cannot read the diagram file: ") +
                             (errno != 0 ? std::strerror(errno) : "unknown error")});
    return false;
  }
  // An empty file reads nothing but is no error of its own: its missing end condition is.
  std::ostringstream text;
  text << in.rdbuf();
  return ParseDiagram(text.str(), path, diagram, errors);
}

} // namespace VANT
