#include "ui/autopilot.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/emulated/hotplug.h"
#include "ui/form_dump.h"
#include "ui/headless_toolkit.h"
#include "ui/setup_form.h"

namespace {

const char* StateName(ui::ProgressState state) {
  return state == ui::ProgressState::Paused ? "paused" : "normal";
}

struct Action {
  int line = 0;
  std::string verb;
  std::vector<std::string> arguments;
  bool quoted = false;  // the last argument was written in quotes
};

// Splits a line into words; a word in double quotes keeps its blanks (\" and \\ escape). For
// `type`, everything after the control is one argument.
bool SplitLine(const std::string& text, Action& action, std::string& error) {
  std::size_t at = 0;
  auto skipBlanks = [&] {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  };
  auto word = [&](std::string& out, bool restOfLine) -> bool {
    skipBlanks();
    out.clear();
    if (at < text.size() && text[at] == '"') {
      ++at;
      for (;; ++at) {
        if (at >= text.size()) {
          error = "a quoted text is not closed";
          return false;
        }
        if (text[at] == '\\' && at + 1 < text.size()) {
          out += text[++at];
        } else if (text[at] == '"') {
          ++at;
          break;
        } else {
          out += text[at];
        }
      }
      action.quoted = true;
      return true;
    }
    action.quoted = false;
    if (restOfLine) {
      out = text.substr(at);
      while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
      at = text.size();
      return true;
    }
    while (at < text.size() && text[at] != ' ' && text[at] != '\t') out += text[at++];
    return true;
  };
  std::string verb;
  if (!word(verb, false)) return false;
  action.verb = verb;
  for (;;) {
    skipBlanks();
    if (at >= text.size()) break;
    const bool rest = action.verb == "type" && action.arguments.size() == 1;
    std::string argument;
    if (!word(argument, rest)) return false;
    action.arguments.push_back(argument);
  }
  if (action.verb == "type" && action.arguments.size() == 1) action.arguments.emplace_back();
  return true;
}

bool CheckShape(const Action& action, std::string& error) {
  const std::size_t n = action.arguments.size();
  const std::string& verb = action.verb;
  bool ok = false;
  if (verb == "tab" || verb == "click" || verb == "dump") ok = n == 1;
  else if (verb == "pick" || verb == "type" || verb == "check") ok = n == 2;
  else if (verb == "wait-idle") ok = n <= 1;
  else if (verb == "plug" || verb == "unplug") ok = n == 1;
  else if (verb == "close") ok = n == 0;
  else {
    error = "unknown action '" + verb + "'";
    return false;
  }
  if (!ok) error = "wrong arguments for '" + verb + "'";
  return ok;
}

bool ParseCount(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoll(text);
  return true;
}

class Autopilot final : public WindowDriver {
 public:
  Autopilot(std::string name, std::vector<Action> actions, std::string error)
      : name_(std::move(name)), actions_(std::move(actions)) {
    if (!error.empty()) Fail(0, error);
  }

  bool Act(TSetupForm1& form, ui::HeadlessToolkit& toolkit) override {
    if (stopped_) return false;
    if (waiting_) {
      if (form.Idle()) {
        waiting_ = false;
        return true;
      }
      if (std::chrono::steady_clock::now() >= waitEnd_) {
        Fail(actions_[next_ - 1].line, "the window did not become idle in time");
      }
      return false;
    }
    if (form.Closed()) return false;
    if (next_ >= actions_.size()) {
      Fail(0, "the actions ended without closing the window");
      return false;
    }
    const Action& action = actions_[next_++];
    Do(action, form, toolkit);
    return true;
  }

  bool Stopped() const override { return stopped_; }
  int ExitCode() const override { return exitCode_; }

 private:
  void Fail(int line, const std::string& what) {
    if (line > 0) {
      std::fprintf(stderr, "autopilot: %s:%d: %s\n", name_.c_str(), line, what.c_str());
    } else {
      std::fprintf(stderr, "autopilot: %s: %s\n", name_.c_str(), what.c_str());
    }
    std::fflush(stderr);
    stopped_ = true;
    exitCode_ = 2;
  }

  void Note(const Action& action, const std::string& what) {
    std::fprintf(stderr, "autopilot: %s:%d: %s\n", name_.c_str(), action.line, what.c_str());
    std::fflush(stderr);
  }

  // The control a person can reach: it exists, is of one of `kinds` and is on screen.
  ui::Control* Reach(const Action& action, TSetupForm1& form, std::initializer_list<ui::Kind> kinds) {
    const std::string& name = action.arguments[0];
    ui::Control* control = form.FindControl(name);
    if (control == nullptr) {
      Fail(action.line, "unknown control '" + name + "'");
      return nullptr;
    }
    bool fits = false;
    for (ui::Kind kind : kinds) fits = fits || control->kind() == kind;
    if (!fits) {
      Fail(action.line, "'" + name + "' is a " + ui::KindName(control->kind()) +
                            ", which cannot be used with '" + action.verb + "'");
      return nullptr;
    }
    if (!control->Showing()) {
      Fail(action.line, "'" + name + "' is not on screen (another tab is shown)");
      return nullptr;
    }
    return control;
  }

  void Do(const Action& action, TSetupForm1& form, ui::HeadlessToolkit&) {
    const std::string& verb = action.verb;
    if (verb == "tab") {
      const std::string& page = action.arguments[0];
      if (page == "Install") form.MainPageControl->SetActivePage(form.TabSheetInstall);
      else if (page == "Create") form.MainPageControl->SetActivePage(form.TabSheetCreate);
      else Fail(action.line, "unknown tab '" + page + "' (Install or Create)");
    } else if (verb == "pick") {
      auto* list = static_cast<ui::ComboBox*>(Reach(action, form, {ui::Kind::ComboBox}));
      if (list == nullptr) return;
      const std::string& which = action.arguments[1];
      long long index = -1;
      if (action.quoted) {
        for (std::size_t i = 0; i < list->Items().size(); ++i) {
          if (list->Items()[i] == which) index = static_cast<long long>(i);
        }
        if (index < 0) return Fail(action.line, "'" + list->Name() + "' has no entry \"" + which + "\"");
      } else if (!ParseCount(which, index) || index >= static_cast<long long>(list->Items().size())) {
        return Fail(action.line, "'" + list->Name() + "' has no entry " + which + " (it has " +
                                     std::to_string(list->Items().size()) + ")");
      }
      if (!list->Enabled()) return Note(action, list->Name() + " is disabled; nothing happens");
      list->Pick(static_cast<int>(index));
    } else if (verb == "type") {
      auto* box = static_cast<ui::EditBox*>(Reach(action, form, {ui::Kind::EditBox}));
      if (box == nullptr) return;
      if (!box->Type(action.arguments[1])) Note(action, box->Name() + " takes no typing");
    } else if (verb == "check") {
      auto* box = static_cast<ui::CheckControl*>(Reach(action, form, {ui::Kind::CheckBox}));
      if (box == nullptr) return;
      const std::string& state = action.arguments[1];
      if (state != "on" && state != "off") return Fail(action.line, "check takes on or off");
      if (!box->Enabled()) return Note(action, box->Name() + " is disabled; nothing happens");
      if (box->Checked() != (state == "on")) box->Click();
    } else if (verb == "click") {
      ui::Control* control =
          Reach(action, form,
                {ui::Kind::PushButton, ui::Kind::CheckBox, ui::Kind::RadioButton, ui::Kind::Image,
                 ui::Kind::Label});
      if (control == nullptr) return;
      if (control->kind() == ui::Kind::Label && control != form.LanguageLabel) {
        return Fail(action.line, "'" + control->Name() + "' does nothing when clicked");
      }
      if (!control->Enabled()) return Note(action, control->Name() + " is disabled; nothing happens");
      control->Click();
    } else if (verb == "wait-idle") {
      long long seconds = 600;
      if (!action.arguments.empty() && !ParseCount(action.arguments[0], seconds)) {
        return Fail(action.line, "wait-idle takes a number of seconds");
      }
      waiting_ = true;
      waitEnd_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    } else if (verb == "plug" || verb == "unplug") {
      long long number = 0;
      if (!ParseCount(action.arguments[0], number)) return Fail(action.line, verb + " takes a disk number");
      std::string error;
      const bool done = verb == "plug" ? emu::PlugDisk(static_cast<DWORD>(number), error)
                                       : emu::UnplugDisk(static_cast<DWORD>(number), error);
      if (!done) Fail(action.line, error);
    } else if (verb == "dump") {
      std::ofstream out(action.arguments[0]);
      out << DescribeForm(form).dump(2) << "\n";
      if (!out) Fail(action.line, "cannot write " + action.arguments[0]);
    } else if (verb == "close") {
      form.Close();
    }
  }

  std::string name_;
  std::vector<Action> actions_;
  std::size_t next_ = 0;
  bool waiting_ = false;
  std::chrono::steady_clock::time_point waitEnd_;
  bool stopped_ = false;
  int exitCode_ = 0;
};

}  // namespace

nlohmann::json DescribeForm(const ui::Form& form) {
  nlohmann::json controls = nlohmann::json::array();
  for (const ui::Control* control : form.AllControls()) {
    const ui::Bounds& b = control->GetBounds();
    const ui::Font& font = control->GetFont();
    nlohmann::json entry = {
        {"name", control->Name()},
        {"kind", ui::KindName(control->kind())},
        {"parent", control->Parent() ? nlohmann::json(control->Parent()->Name()) : nlohmann::json()},
        {"bounds", {{"left", b.left}, {"top", b.top}, {"width", b.width}, {"height", b.height}}},
        {"caption", control->Caption()},
        {"hint", control->Hint()},
        {"text", nullptr},
        {"items", nullptr},
        {"selection", nullptr},
        {"enabled", control->Enabled()},
        {"checked", nullptr},
        {"visible", control->Visible()},
        {"showing", control->Showing()},
        {"font", {{"face", font.face}, {"pixel_height", font.pixelHeight}}},
    };
    switch (control->kind()) {
      case ui::Kind::ComboBox: {
        const auto& list = static_cast<const ui::ComboBox&>(*control);
        entry["items"] = list.Items();
        entry["selection"] = list.ItemIndex();
        entry["text"] = list.Text();
        break;
      }
      case ui::Kind::EditBox:
        entry["text"] = static_cast<const ui::EditBox&>(*control).Text();
        break;
      case ui::Kind::CheckBox:
      case ui::Kind::RadioButton:
        entry["checked"] = static_cast<const ui::CheckControl&>(*control).Checked();
        break;
      case ui::Kind::PageControl: {
        const auto* page = static_cast<const ui::PageControl&>(*control).ActivePage();
        entry["active_page"] = page ? nlohmann::json(page->Name()) : nlohmann::json();
        break;
      }
      case ui::Kind::Label: {
        const auto& label = static_cast<const ui::Label&>(*control);
        entry["right_to_left"] = label.RightToLeft();
        entry["centred_vertically"] = label.CentredVertically();
        break;
      }
      case ui::Kind::Image:
        entry["picture_bytes"] = static_cast<const ui::Image&>(*control).Picture().size();
        break;
      case ui::Kind::ProgressBar: {
        const auto& bar = static_cast<const ui::ProgressBar&>(*control);
        entry["position"] = bar.Position();
        entry["min"] = bar.Min();
        entry["max"] = bar.Max();
        entry["state"] = StateName(bar.State());
        break;
      }
      case ui::Kind::Form:
        entry["client_width"] = form.ClientWidth();
        entry["client_height"] = form.ClientHeight();
        break;
      default:
        break;
    }
    controls.push_back(std::move(entry));
  }
  return {{"form", form.Name()}, {"controls", std::move(controls)}};
}

std::unique_ptr<WindowDriver> AutopilotFromText(const std::string& text, const std::string& name) {
  std::vector<Action> actions;
  std::string error;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    Action action;
    action.line = number;
    std::string why;
    if (!SplitLine(line.substr(first), action, why) || !CheckShape(action, why)) {
      error = "line " + std::to_string(number) + ": " + why;
      actions.clear();
      break;
    }
    actions.push_back(std::move(action));
  }
  return std::make_unique<Autopilot>(name, std::move(actions), error);
}

std::unique_ptr<WindowDriver> AutopilotFromEnvironment() {
  const char* path = std::getenv("VELUND_AUTOPILOT");
  if (path == nullptr || *path == '\0') return nullptr;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::make_unique<Autopilot>(path, std::vector<Action>{}, "cannot read the file");
  std::ostringstream text;
  text << in.rdbuf();
  return AutopilotFromText(text.str(), path);
}
