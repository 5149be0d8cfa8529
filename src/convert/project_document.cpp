// Reading a project's project.xml for its upgrade: one pass of the scanner, each element seen
// with what encloses it, so that a parameter belongs to the device whose Parameters hold it, a
// State to the device around it, and points to the element whose Target names their parameter.

#include "convert/project_document.h"

#include <algorithm>
#include <cstdint>
#include <span>

#include "convert/xml_scanner.h"

namespace tunewright {

namespace {

// An open element, and what it is to the upgrade.
struct Frame {
  std::string_view name;
  int32_t device = -1;      // a Vst2Plugin: its index among the devices
  int32_t automation = -1;  // one that holds a Target or points: its index in the automation
  ValueSpan label;          // its name, else its deviceName
};

constexpr std::string_view kParameterKinds[] = {"RealParameter", "BoolParameter",
                                                "IntegerParameter", "EnumParameter"};
constexpr std::string_view kPointKinds[] = {"RealPoint",    "Point",     "BoolPoint",
                                            "IntegerPoint", "EnumPoint", "TimeSignaturePoint"};

bool isOneOf(std::string_view name, std::span<const std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string attributeText(std::string_view xml, const ValueSpan& span) {
  std::string text;
  decodeAttribute(span.in(xml), text);  // the scanner has checked its references
  return text;
}

bool readProjectDocument(std::string_view xml, ProjectDocument& document) {
  XmlScanner scanner(xml);
  std::vector<Frame> frames;
  for (;;) {
    const XmlScanner::Token token = scanner.next();
    if (token == XmlScanner::Token::kFinished) {
      return true;
    }
    if (token == XmlScanner::Token::kMalformed) {
      return false;
    }
    if (token == XmlScanner::Token::kEnd) {
      frames.pop_back();
      continue;
    }
    const auto attribute = [&](std::string_view name) {
      for (const XmlAttribute& found : scanner.attributes()) {
        if (found.name == name) {
          return ValueSpan{found.valueOffset, found.valueLength, true};
        }
      }
      return ValueSpan{};
    };
    Frame frame;
    frame.name = scanner.name();
    frame.label = attribute("name").present ? attribute("name") : attribute("deviceName");
    if (const ValueSpan id = attribute("id"); id.present) {
      document.ids.push_back(id);
    }
    Frame* parent = frames.empty() ? nullptr : &frames.back();
    const Frame* grandparent = frames.size() < 2 ? nullptr : &frames[frames.size() - 2];
    const auto automationOf = [&](Frame& holder) -> DocumentAutomation& {
      if (holder.automation < 0) {
        holder.automation = static_cast<int32_t>(document.automation.size());
        document.automation.emplace_back();
      }
      return document.automation[static_cast<std::size_t>(holder.automation)];
    };

    if (frame.name == "Vst2Plugin") {
      frame.device = static_cast<int32_t>(document.devices.size());
      document.devices.push_back({attribute("deviceID"), {frame.label, {}, {}}, {}});
    } else if (parent == nullptr) {
      // The root: nothing of it is read.
    } else if (frame.name == "State") {
      const DocumentState state = {parent->label, attribute("path"), attribute("external")};
      DocumentState* own = parent->device < 0
                               ? nullptr
                               : &document.devices[static_cast<std::size_t>(parent->device)].state;
      // A second State of one device is another device's as far as sharing goes.
      if (own != nullptr && !own->path.present) {
        *own = state;
      } else {
        document.otherStates.push_back(state);
      }
    } else if (grandparent != nullptr && grandparent->device >= 0 && parent->name == "Parameters" &&
               isOneOf(frame.name, kParameterKinds)) {
      document.devices[static_cast<std::size_t>(grandparent->device)].parameters.push_back(
          {frame.name == "RealParameter", attribute("parameterID"), attribute("id"),
           attribute("value"), attribute("min"), attribute("max")});
    } else if (frame.name == "Target") {
      automationOf(*parent).target = attributeText(xml, attribute("parameter"));
    } else if (isOneOf(frame.name, kPointKinds)) {
      DocumentAutomation& automation = automationOf(*parent);
      if (frame.name == "RealPoint") {
        automation.values.push_back(attribute("value"));
      } else {
        automation.otherPoints = true;
      }
    }
    frames.push_back(frame);
  }
}

}  // namespace tunewright
