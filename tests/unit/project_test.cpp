// The upgrade of a project: devices found, states through the road, parameters and automation
// moved by the chain, whole or nothing; checked against the road itself and an independent
// reading of the planned archive.

#include "convert/project.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "preset_builder.h"
#include "project_builder.h"

namespace tunewright {
namespace {

using testing::Image;
using testing::makeImage;

constexpr const char* kTavlora = "1417047137";
constexpr const char* kBrisklet = "1114860396";

std::string textOf(const std::vector<unsigned char>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// A program of a layout with word i at parameter i.
Image program(const char (&plugin)[5], int32_t count, std::map<int32_t, float> words) {
  Image image = makeImage(plugin, count);
  for (const auto& [index, value] : words) {
    image.setParam(index, value);
  }
  return image;
}

// The word the road leaves at an index for a program whose word at another is value.
float roadWord(Image state, int32_t from, float value, int32_t to) {
  static const auto image = std::make_unique<ImageBuffer>();
  static const auto spare = std::make_unique<ImageBuffer>();
  state.setParam(from, value);
  std::memcpy(image->data(), state.data(), state.bytes.size());
  ConverterList chain;
  const Conversion done = recogniseAndUpgrade(state.length(), 0, *image, *spare, chain, nullptr);
  EXPECT_EQ(done.outcome, UpgradeOutcome::kUpgraded);
  return floatFromBigEndian(loadWord(image->data() + kParamsOffset + 4 * to));
}

std::string device(const char* id, const char* name, const char* state,
                   const std::string& parameters = "") {
  return std::string("<Vst2Plugin deviceID=\"") + id +
         "\" deviceName=\"Plug\" deviceRole=\"x\" name=\"" + name + "\" id=\"" + name +
         "\"><Parameters>" + parameters + "</Parameters>" +
         (state == nullptr ? "" : std::string("<State path=\"") + state + "\"/>") + "</Vst2Plugin>";
}

std::string document(const std::string& devices, const std::string& lanes = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Project version=\"1.0\"><Structure>" +
         devices + "</Structure><Arrangement id=\"a\"><Lanes id=\"l\">" + lanes +
         "</Lanes></Arrangement></Project>\n";
}

struct Project {
  std::string xml;
  std::map<std::string, std::string> states;
};

std::string archiveOf(const Project& project) {
  std::vector<testing::ZipSource> entries = {{"metadata.xml", "<MetaData/>", true, true},
                                             {"project.xml", project.xml, true, true},
                                             {"audio/take.wav", std::string(500, 'w'), false}};
  for (const auto& [path, state] : project.states) {
    entries.push_back({path, state, true, true});
  }
  return testing::makeZip(entries);
}

// The upgrade run over the archive, and the archive it planned, read back entry by entry.
struct Upgraded {
  std::unique_ptr<ProjectUpgrade> upgrade;
  std::map<std::string, std::string> entries;
};

Upgraded run(const std::string& archive, FormatId target = 0, ProjectObserver* observer = nullptr) {
  Upgraded result{std::make_unique<ProjectUpgrade>(archive.size(), target, observer), {}};
  testing::feedArchive(*result.upgrade, archive);
  const std::string output =
      testing::assemblePlan(result.upgrade->pieces(), result.upgrade->newBytes(), archive);
  if (output.empty()) {
    return result;
  }
  ZipArchive reread(output.size());
  testing::feedArchive(reread, output);
  EXPECT_TRUE(reread.ready());
  for (const ZipEntry& entry : reread.entries()) {
    EXPECT_EQ(testing::extractEntry(reread, output, entry, result.entries[entry.name]),
              ArchiveFault::kNone);
  }
  return result;
}

// Counts the states loaded and upgraded.
class StateCount final : public ProjectObserver {
 public:
  void chainStarting() override {}
  void stepStarting(const Converter&) override {}
  void stepFinished(int32_t, const unsigned char*) override {}
  void stateLoaded(const ProjectDevice&, std::span<const unsigned char>) override { ++loaded; }
  void stateUpgraded(const ProjectDevice&, std::span<const unsigned char> state) override {
    upgraded.assign(state.begin(), state.end());
  }
  int32_t loaded = 0;
  std::string upgraded;
};

class ProjectUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override { snapshotConverters(); }
};

// A Tavlora 0.1.2 instrument (a plain parameter, a selector, one in the second section,
// automation in a lane and in a clip, in single quotes and with an entity, a CRLF and a BOM), a
// Tavlora 0.2 one (its global parameter in a scale of 0..7, automated) and a Brisklet 0.5 effect.
TEST_F(ProjectUpgradeTest, MovesParametersAndAutomationAsTheRoadMovesTheirWords) {
  const Image tavlora = program("Tvla", 50, {{3, 0.25f}, {11, 0.4f}, {30, 0.7f}});
  const Image global = program("Tvla", 53, {{52, 2.0f}});
  const Image brisklet = program("Bskl", 6, {{4, 0.3f}});
  Project project;
  project.xml =
      "\xEF\xBB\xBF" +
      document(device(kTavlora, "Lead", "plugins/a.fxp",
                      "<RealParameter parameterID='3' value='0.25' id='p3' unit='normalized'/>\r\n"
                      "<RealParameter parameterID=\"11\" value=\"0.4\" id=\"p&#49;1\" "
                      "unit=\"normalized\"/><RealParameter parameterID=\"30\" value=\"0.7\" "
                      "id=\"p30\" unit=\"normalized\"/>") +
                   device(kTavlora, "Pad", "plugins/b.fxp",
                          "<RealParameter parameterID=\"52\" value=\"2\" min=\"0\" max=\"7\" "
                          "id=\"g\" unit=\"linear\"/>") +
                   device(kBrisklet, "Room", "plugins/c.fxp",
                          "<RealParameter parameterID=\"4\" value=\"0.3\" id=\"b4\"/>"),
               "<Points id=\"x\"><Target parameter=\"p11\"/><RealPoint time=\"0\" value=\"0.4\"/>"
               "<RealPoint time=\"1\" value=\"0.9\"/></Points><Clips id=\"c\"><Clip time=\"0\">"
               "<Points id=\"y\"><Target parameter=\"g\"/><RealPoint time=\"0\" value=\"3.5\"/>"
               "</Points></Clip></Clips>");
  project.states = {{"plugins/a.fxp", textOf(tavlora.bytes)},
                    {"plugins/b.fxp", textOf(global.bytes)},
                    {"plugins/c.fxp", textOf(brisklet.bytes)}};
  const Upgraded upgraded = run(archiveOf(project));
  ASSERT_EQ(upgraded.upgrade->outcome(), UpgradeOutcome::kUpgraded);
  EXPECT_EQ(upgraded.upgrade->firstFormat(), 1000205);
  ASSERT_EQ(upgraded.upgrade->devices().size(), 3u);
  EXPECT_EQ(upgraded.upgrade->devices()[0].name, "Lead");
  EXPECT_EQ(upgraded.upgrade->devices()[0].steps.size(), 3u);
  EXPECT_EQ(upgraded.upgrade->devices()[2].steps.size(), 1u);

  const std::string& xml = upgraded.entries.at("project.xml");
  EXPECT_EQ(testing::withoutAttributeValues(xml), testing::withoutAttributeValues(project.xml));
  // Each value is the road's word at the parameter's new index, written shortest; in a scale of
  // 0..7, the shortest that reads back as that word.
  const auto text = [](float value) {
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + 32, value).ptr);
  };
  const std::string expected[] = {
      "parameterID='5' value='0.25'",
      "parameterID=\"14\" value=\"" + text(roadWord(tavlora, 11, 0.4f, 14)) + "\"",
      "parameterID=\"33\" value=\"0.7\"",
      "parameterID=\"5\" value=\"0.3\"",
      "<RealPoint time=\"1\" value=\"" + text(roadWord(tavlora, 11, 0.9f, 14)) + "\"/>",
  };
  for (const std::string& part : expected) {
    EXPECT_NE(xml.find(part), std::string::npos) << part << " in\n" << xml;
  }
  const std::pair<std::string, float> scaled[] = {
      {"parameterID=\"1\" value=\"", roadWord(global, 52, 2.0f / 7, 1)},
      {"<RealPoint time=\"0\" value=\"", roadWord(global, 52, 0.5f, 1)}};
  for (const auto& [before, word] : scaled) {
    const std::size_t at = xml.rfind(before) + before.size();
    const std::string value = xml.substr(at, xml.find('"', at) - at);
    EXPECT_EQ(static_cast<float>(std::stod(value) / 7), word) << value;
    EXPECT_LE(value.size(), 9u) << value;
  }
  // The states are the road's, and the rest as it was.
  EXPECT_EQ(upgraded.entries.at("plugins/a.fxp").size(), 272u);
  EXPECT_EQ(upgraded.entries.at("audio/take.wav"), std::string(500, 'w'));
}

struct Refusal {
  const char* what;
  Project project;
  UpgradeOutcome outcome;
  const char* device;  // the device named, or nullptr for the whole project
  FormatId target = 0;
};

// Each project is left as it is, with the first device that cannot be upgraded named.
TEST_F(ProjectUpgradeTest, LeavesTheWholeProjectWhenOneDeviceCannotBeUpgraded) {
  const std::string v012 = textOf(makeImage("Tvla", 50).bytes);
  const std::string v023 =
      textOf(program("Tvla", 54, {{0, std::bit_cast<float>(0x3F0000CBu)}}).bytes);
  const std::string bskl = textOf(makeImage("Bskl", 6).bytes);
  const std::string good = device(kTavlora, "Good", "plugins/a.fxp");
  const std::map<std::string, std::string> states = {{"plugins/a.fxp", v012}};
  const Refusal cases[] = {
      {"no project.xml", {"", {}}, UpgradeOutcome::kUnrecognised, nullptr},
      // An archive named as a project is one only with a project.xml, whatever else it holds.
      {"no project.xml, and damaged", {"damaged", {}}, UpgradeOutcome::kUnrecognised, nullptr},
      {"project.xml not well-formed",
       {"<Project>", {}},
       UpgradeOutcome::kProjectMalformed,
       nullptr},
      {"a state missing from the archive",
       {document(good + device(kTavlora, "Lost", "plugins/none.fxp")), states},
       UpgradeOutcome::kStateMissing,
       "Lost"},
      {"a state outside the archive",
       {document("<Vst2Plugin deviceID=\"1417047137\" name=\"Out\"><State path=\"plugins/a.fxp\" "
                 "external=\"true\"/></Vst2Plugin>"),
        states},
       UpgradeOutcome::kStateMissing,
       "Out"},
      {"a parameter outside the layout",
       {document(device(kTavlora, "Wide", "plugins/a.fxp",
                        "<RealParameter parameterID=\"50\" value=\"0\" id=\"w\"/>")),
        states},
       UpgradeOutcome::kParameterNotCarried,
       "Wide"},
      {"a switch on a selector",
       {document(device(kTavlora, "Switch", "plugins/a.fxp",
                        "<BoolParameter parameterID=\"11\" value=\"true\" id=\"s\"/>")),
        states},
       UpgradeOutcome::kParameterNotCarried,
       "Switch"},
      {"a selector's automation not a number",
       {document(
            device(kTavlora, "Auto", "plugins/a.fxp",
                   "<RealParameter parameterID=\"11\" value=\"0.5\" id=\"s\"/>"),
            "<Points><Target parameter=\"s\"/><RealPoint time=\"0\" value=\"high\"/></Points>"),
        states},
       UpgradeOutcome::kParameterNotCarried,
       "Auto"},
      {"Tavlora's ID on Brisklet's state",
       {document(device(kTavlora, "Wrong", "plugins/a.fxp")), {{"plugins/a.fxp", bskl}}},
       UpgradeOutcome::kStateMismatch,
       "Wrong"},
      {"a state shared with another plug-in's device",
       {document(good + device("1", "Other", "plugins/a.fxp")), states},
       UpgradeOutcome::kStateMismatch,
       "Other"},
      {"a state that is no preset",
       {document(good), {{"plugins/a.fxp", "FXP?"}}},
       UpgradeOutcome::kUnrecognised,
       "Good"},
      {"a version -t cannot reach",
       {document(good), {{"plugins/a.fxp", v023}}},
       UpgradeOutcome::kNoChain,
       "Good",
       1000200},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.what);
    const bool noProject = c.project.xml.empty() || c.project.xml == "damaged";
    std::string archive =
        noProject ? testing::makeZip({{"song.xml", "<x/>"}}) : archiveOf(c.project);
    if (c.project.xml == "damaged") {
      archive[archive.find("song.xml")] = 'S';  // its local header's name
    }
    const Upgraded refused = run(archive, c.target);
    EXPECT_EQ(refused.upgrade->outcome(), c.outcome);
    EXPECT_TRUE(refused.upgrade->pieces().empty());
    const ProjectDevice* named = refused.upgrade->refusedDevice();
    EXPECT_EQ(named == nullptr ? "" : named->name, c.device == nullptr ? "" : c.device);
  }
}

// What is already at the target, or another product's with -t, is left as it is and counts as
// done; a state two devices share is upgraded once, for both.
TEST_F(ProjectUpgradeTest, LeavesWhatIsDoneAndUpgradesASharedStateOnce) {
  const std::string v025 =
      textOf(program("Tvla", 54, {{0, std::bit_cast<float>(0x3F0000CDu)}}).bytes);
  const std::string v012 = textOf(makeImage("Tvla", 50).bytes);
  const std::string v051 = textOf(makeImage("Bskl", 8).bytes);
  const std::string bskl = textOf(makeImage("Bskl", 6).bytes);
  const Project current = {
      document(device(kTavlora, "T", "plugins/a.fxp") + device(kBrisklet, "B", "plugins/b.fxp")),
      {{"plugins/a.fxp", v025}, {"plugins/b.fxp", v051}}};
  EXPECT_EQ(run(archiveOf(current)).upgrade->outcome(), UpgradeOutcome::kAlreadyCurrent);
  EXPECT_EQ(run(archiveOf(current), 1000205).upgrade->outcome(), UpgradeOutcome::kAlreadyCurrent);
  EXPECT_EQ(run(archiveOf(current), 1000203).upgrade->outcome(), UpgradeOutcome::kUnrecognised);

  const Project mixed = {
      document(device(kTavlora, "T", "plugins/a.fxp") + device(kBrisklet, "B", "plugins/b.fxp")),
      {{"plugins/a.fxp", v012}, {"plugins/b.fxp", bskl}}};
  const Upgraded brisklet = run(archiveOf(mixed), 2000501);
  ASSERT_EQ(brisklet.upgrade->outcome(), UpgradeOutcome::kUpgraded);
  EXPECT_EQ(brisklet.entries.at("plugins/a.fxp"), v012);
  EXPECT_EQ(brisklet.entries.at("plugins/b.fxp").size(), 88u);
  EXPECT_EQ(brisklet.upgrade->firstFormat(), 2000501);

  const Project shared = {
      document(device(kTavlora, "One", "plugins/a.fxp",
                      "<RealParameter parameterID=\"20\" value=\"0\" id=\"p\"/>") +
               device(kTavlora, "Two", "plugins/a.fxp",
                      "<RealParameter parameterID=\"40\" value=\"0\" id=\"q\"/>")),
      {{"plugins/a.fxp", v012}}};
  StateCount states;
  const Upgraded both = run(archiveOf(shared), 0, &states);
  ASSERT_EQ(both.upgrade->outcome(), UpgradeOutcome::kUpgraded);
  EXPECT_EQ(states.loaded, 1);
  EXPECT_EQ(both.entries.at("plugins/a.fxp"), states.upgraded);
  EXPECT_EQ(both.upgrade->devices()[1].steps.size(), 3u);
  EXPECT_NE(both.entries.at("project.xml").find("parameterID=\"23\""), std::string::npos);
  EXPECT_NE(both.entries.at("project.xml").find("parameterID=\"44\""), std::string::npos);
}

}  // namespace
}  // namespace tunewright
