// Both programs on a machine whose files are damaged: one message naming the file and the fault,
// a failing exit code, and every file of the machine left as it was.
#include <gtest/gtest.h>


#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/test_support.h"

namespace {

std::string Read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

struct Damage {
  const char* file;       // relative to the machine folder
  const char* fault;      // what the message must say about it
  std::function<std::string(const std::string&)> damage;  // the file's text -> damaged text
};

// The machine.json text with one change made to its JSON.
std::function<std::string(const std::string&)> Edit(std::function<void(nlohmann::json&)> edit) {
  return [edit](const std::string& text) {
    nlohmann::json json = nlohmann::json::parse(text);
    edit(json);
    return json.dump(2);
  };
}

std::function<std::string(const std::string&)> Replace(const std::string& text) {
  return [text](const std::string&) { return text; };
}

class DamagedMachineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/velund-damaged-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = new std::filesystem::path(pattern);
    machine_ = new std::filesystem::path(*root_ / "m");
    ASSERT_EQ(Run(std::string(VELUND_MACHINE_TOOL) + " new " + machine_->string()), 0);
    // The first program run writes the registry and what the machine remembers of its volumes.
    ASSERT_EQ(Run(std::string(VELUND_MACHINE_TOOL) + " show " + machine_->string()), 0);
    Write(*root_ / "actions", "close\n");
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(*root_, ec);
    delete machine_;
    delete root_;
  }

  static int Run(const std::string& command, std::string* out = nullptr) {
    return RunShell(command, out);
  }

  // Every file of the machine: its size, time of change and (for the small ones) its bytes.
  static std::map<std::string, std::string> Snapshot() {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(*machine_)) {
      const std::string name = std::filesystem::relative(entry.path(), *machine_).string();
      if (!entry.is_regular_file()) {
        files[name] = "folder";
        continue;
      }
      std::string& state = files[name];
      state = std::to_string(entry.file_size()) + " " +
              std::to_string(entry.last_write_time().time_since_epoch().count());
      if (entry.file_size() < 1048576) state += " " + Read(entry.path());
    }
    return files;
  }

  // Damages the file, runs the programs on it, and puts the file back.
  static void Check(const Damage& damage) {
    SCOPED_TRACE(std::string(damage.file) + ", " + damage.fault);
    const std::filesystem::path file = *machine_ / damage.file;
    const std::string original = Read(file);
    Write(file, damage.damage(original));
    const auto before = Snapshot();
    const std::string programs[] = {
        "VELUND_MACHINE=" + machine_->string() + " VELUND_AUTOPILOT=" +
            (*root_ / "actions").string() + " " + VELUND_SETUP,
        std::string(VELUND_MACHINE_TOOL) + " show " + machine_->string(),
        std::string(VELUND_MACHINE_TOOL) + " add-disk " + machine_->string() +
            " --number 7 --size 1073741824 --fixed --name Extra",
        std::string(VELUND_MACHINE_TOOL) + " hold " + machine_->string() + " C:",
    };
    for (const std::string& program : programs) {
      std::string out;
      EXPECT_EQ(Run(program, &out), 1) << program << "\n" << out;
      // One line that names the file and says what is wrong with it.
      EXPECT_NE(out.find(file.string() + ": "), std::string::npos) << program << "\n" << out;
      EXPECT_NE(out.find(damage.fault), std::string::npos) << program << "\n" << out;
      EXPECT_EQ(out.find('\n'), out.size() - 1) << program << "\n" << out;
    }
    EXPECT_EQ(Snapshot(), before);
    Write(file, original);
  }

  static std::filesystem::path* root_;
  static std::filesystem::path* machine_;
};

std::filesystem::path* DamagedMachineTest::root_ = nullptr;
std::filesystem::path* DamagedMachineTest::machine_ = nullptr;

TEST_F(DamagedMachineTest, ADamagedMachineDescriptionStopsEveryProgram) {
  using J = nlohmann::json;
  const Damage damages[] = {
      {"machine.json", "not JSON", Replace("")},
      {"machine.json", "must be a JSON object", Replace("[]")},
      {"machine.json", "ansi_code_page must be a whole number",
       Edit([](J& j) { j["ansi_code_page"] = "1252"; })},
      {"machine.json", "ansi_code_page 4242 is not a code page",
       Edit([](J& j) { j["ansi_code_page"] = 4242; })},
      {"machine.json", "environment.TEMP must be a text",
       Edit([](J& j) { j["environment"]["TEMP"] = 5; })},
      {"machine.json", "disks must be a list", Edit([](J& j) { j["disks"] = "two"; })},
      {"machine.json", "disks[1].image is missing",
       Edit([](J& j) { j["disks"][1].erase("image"); })},
      {"machine.json", "disks[0].geometry is missing",
       Edit([](J& j) { j["disks"][0].erase("geometry"); })},
      {"machine.json", "disks[1].number must be a whole number from 0 to 4294967295",
       Edit([](J& j) { j["disks"][1]["number"] = 4294967296ull; })},
      {"machine.json", "disks[1].number 0 belongs to another disk",
       Edit([](J& j) { j["disks"][1]["number"] = 0; })},
      {"machine.json", "disks[1].geometry.bytes_per_sector must be",
       Edit([](J& j) { j["disks"][1]["geometry"]["bytes_per_sector"] = -512; })},
      {"machine.json", "disks[1].geometry.cylinders must be",
       Edit([](J& j) { j["disks"][1]["geometry"]["cylinders"] = 1.5; })},
      {"machine.json", "disks[0].letters names \"C:\", which is no partition offset",
       Edit([](J& j) { j["disks"][0]["letters"] = {{"C:", "1048576"}}; })},
      {"machine.json", "disks[1].media must be \"removable\" or \"fixed\"",
       Edit([](J& j) { j["disks"][1]["media"] = "floppy"; })},
      {"storage.json", "not JSON", Replace("{\"mounted_devices\": [")},
      {"storage.json", "mounted_devices must be a list",
       Replace("{\"mounted_devices\": 5}")},
      {"storage.json", "mounted_devices[0].letter must be a drive letter",
       Replace("{\"mounted_devices\": [{\"key\": \"k\", \"guid\": \"g\", \"letter\": 7}]}")},
      {"registry/HKLM.json", "parse error", Replace("")},
      {"registry/HKLM.json", "a key must be an object", Replace("{\"keys\": {\"SOFTWARE\": []}}")},
      {"registry/HKLM.json", "has no type", Replace("{\"values\": [{\"name\": \"x\"}]}")},
      {"registry/HKCU.json", "expected a number", Replace("{\"lastWrite\": \"yesterday\"}")},
      {"machine.json", "faults must be a list", Edit([](J& j) { j["faults"] = J::object(); })},
      {"machine.json", "faults[0].call \"CreateFile\" is neither a seam call nor a program",
       Edit([](J& j) { j["faults"] = {{{"call", "CreateFile"}, {"error", 5}}}; })},
      {"machine.json", "faults[0].call must be a text",
       Edit([](J& j) { j["faults"] = {{{"call", 7}, {"error", 5}}}; })},
      {"machine.json", "faults[1].error is missing",
       Edit([](J& j) {
         j["faults"] = {{{"call", "ReadFile"}, {"error", 5}}, {{"call", "format.com"}}};
       })},
      {"machine.json", "faults[0].after must be a whole number from 0 to 4294967295, not -1",
       Edit([](J& j) { j["faults"] = {{{"call", "*"}, {"error", 5}, {"after", -1}}}; })},
      {"machine.json", "faults[0].once must be true or false",
       Edit([](J& j) { j["faults"] = {{{"call", "*"}, {"error", 5}, {"once", "yes"}}}; })},
      {"machine.json", "faults[0].path must be a text",
       Edit([](J& j) { j["faults"] = {{{"call", "CreateFileW"}, {"error", 5}, {"path", 1}}}; })},
      {"machine.json", "faults[0].contol_code is no member a fault has",
       Edit([](J& j) {
         j["faults"] = {{{"call", "DeviceIoControl"}, {"error", 5}, {"contol_code", 1}}};
       })},
  };
  for (const Damage& damage : damages) Check(damage);
}

}  // namespace
