// The elements of an application manifest (XML), flat and in document order: local name
// (the namespace dropped), attributes by local name, and the text directly inside the
// element, trimmed. Read with expat on the host and with Windows' own XmlLite in the
// Windows build of the tool; a document that is not well-formed gives the elements
// before its fault, as far as each parser read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tolvane::pack::pe {

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
};

std::vector<XmlElement> ReadXmlElements(const std::vector<uint8_t>& document);

}  // namespace tolvane::pack::pe
