#pragma once

// What a project's upgrade reads of its project.xml, in one pass of the XML scanner: the VST 2
// devices with their parameters and states, the states of every other device, the automation
// and the IDs. Each attribute is kept as where its value lies in the document, for the edits.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tunewright {

// An attribute's value as written, where the document holds it; absent when not there.
struct ValueSpan {
  std::size_t offset = 0;
  std::size_t length = 0;
  bool present = false;

  std::string_view in(std::string_view document) const { return document.substr(offset, length); }
};

// A RealParameter, BoolParameter, IntegerParameter or EnumParameter of a device's Parameters.
struct DocumentParameter {
  bool real = false;  // a RealParameter, whose value is a number in its own scale
  ValueSpan parameterId;
  ValueSpan id;
  ValueSpan value;
  ValueSpan min;
  ValueSpan max;
};

// A device's name as a report gives it, and its state file.
struct DocumentState {
  ValueSpan name;      // the device's name, else its deviceName
  ValueSpan path;      // absent when it has no State
  ValueSpan external;  // State's external attribute
};

struct DocumentDevice {
  ValueSpan deviceId;
  DocumentState state;
  std::vector<DocumentParameter> parameters;
};

// An element holding a Target and points (a Points, anywhere a timeline may stand): the ID of the
// parameter it drives, the value of each RealPoint, and whether it holds points of other kinds.
struct DocumentAutomation {
  std::string target;  // the Target's parameter, resolved
  std::vector<ValueSpan> values;
  bool otherPoints = false;
};

struct ProjectDocument {
  std::vector<DocumentDevice> devices;     // every Vst2Plugin, in document order
  std::vector<DocumentState> otherStates;  // the states of every other device
  std::vector<DocumentAutomation> automation;
  std::vector<ValueSpan> ids;  // every id attribute
};

// Reads the document; false when it is not well-formed.
bool readProjectDocument(std::string_view xml, ProjectDocument& document);

// An attribute's value resolved as an XML reader reads it: references and white space.
std::string attributeText(std::string_view xml, const ValueSpan& span);

}  // namespace tunewright
