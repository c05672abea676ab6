#include "bindings/entry.hpp"

#include <deque>
#include <vector>

namespace qf::py {

std::string docstring(const Entry& entry) {
  std::string text = std::string(entry.name) + "(";
  std::string parameters;
  entry.parameters(parameters);
  if (entry.self) text += parameters.empty() ? "$self" : "$self, ";
  return text + parameters + ")\n--\n\n" + entry.description;
}

PyMethodDef* method_table(std::initializer_list<std::span<const Entry>> fragments) {
  // Type and function objects keep pointers into their tables and docstrings for the life of the process.
  static std::deque<std::string> docstrings;
  static std::deque<std::vector<PyMethodDef>> tables;
  std::vector<PyMethodDef>& table = tables.emplace_back();
  for (std::span<const Entry> fragment : fragments) {
    for (const Entry& e : fragment) {
      const std::string& doc = docstrings.emplace_back(docstring(e));
      table.push_back({e.name, e.call, e.flags, doc.c_str()});
    }
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table.data();
}

}  // namespace qf::py
