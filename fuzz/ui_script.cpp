// Feeds random text to the scripted user's line parser (the --ui-script file format).
//
// Every line that holds a step gives exactly one step or one error, in line order; each
// step's fields lie in the ranges its verb allows; and a step written back as a line parses
// to the same step, so the two players (headless and Windows) can never read a line apart.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "headless_win32/ui_script_parser.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

const char* verb_word(ui_script::Verb verb) {
  switch (verb) {
    case ui_script::Verb::kWaitReady:
      return "wait-ready";
    case ui_script::Verb::kType:
      return "type";
    case ui_script::Verb::kFocus:
      return "focus";
    case ui_script::Verb::kClick:
      return "click";
    case ui_script::Verb::kKey:
      return "key";
    case ui_script::Verb::kScroll:
      return "scroll";
    case ui_script::Verb::kPress:
      return "press";
    case ui_script::Verb::kMove:
      return "move";
    case ui_script::Verb::kRelease:
      return "release";
    case ui_script::Verb::kTick:
      return "tick";
    case ui_script::Verb::kExpectBeeps:
      return "expect-beeps";
    case ui_script::Verb::kExpectText:
      return "expect-text";
    case ui_script::Verb::kSnapshot:
      return "snapshot";
  }
  return "";
}

// The step as a script line.
std::string line_of(const ui_script::Step& s) {
  using ui_script::Verb;
  std::string line = verb_word(s.verb);
  auto add = [&](long n) { line += " " + std::to_string(n); };
  switch (s.verb) {
    case Verb::kWaitReady:
      break;
    case Verb::kType:
    case Verb::kExpectText:
      add(s.id);
      line += " " + s.text;
      break;
    case Verb::kFocus:
    case Verb::kClick:
      add(s.id);
      break;
    case Verb::kKey:
      line += s.key == ui_script::Key::kEnter ? " enter"
              : s.key == ui_script::Key::kEsc ? " esc"
                                              : " tab";
      break;
    case Verb::kScroll:
      add(s.id);
      add(s.code);
      add(s.position);
      break;
    case Verb::kPress:
    case Verb::kMove:
    case Verb::kRelease:
      add(s.id);
      add(s.x);
      add(s.y);
      break;
    case Verb::kTick:
    case Verb::kExpectBeeps:
      add(s.count);
      break;
    case Verb::kSnapshot:
      line += s.id == ui_script::kWholeDialog ? std::string(" dialog") : " " + std::to_string(s.id);
      line += " " + s.text;
      break;
  }
  return line;
}

bool same(const ui_script::Step& a, const ui_script::Step& b) {
  return a.verb == b.verb && a.id == b.id && a.text == b.text && a.key == b.key &&
         a.code == b.code && a.position == b.position && a.x == b.x && a.y == b.y &&
         a.count == b.count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ui_script::Parsed parsed = ui_script::parse(text);

  // The lines that hold a step: not blank, not a comment.
  int lines = 0, holding = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    ++lines;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] != '#') ++holding;
    at = end + 1;
  }
  check(parsed.steps.size() + parsed.errors.size() == size_t(holding));

  int previous = 0;
  for (const ui_script::Step& s : parsed.steps) {
    check(s.line > previous && s.line <= lines);
    previous = s.line;
    check(s.id >= (s.verb == ui_script::Verb::kSnapshot ? ui_script::kWholeDialog : 0) &&
          s.id <= 0xFFFF);
    check(s.x >= -32768 && s.x <= 32767 && s.y >= -32768 && s.y <= 32767);
    check(s.code >= 0 && s.code <= 0xFFFF && s.position >= -32768 && s.position <= 65535);
    check(s.count >= 0 && s.count <= 1000000);
    check(s.text.find('\n') == std::string::npos);
    if (s.verb == ui_script::Verb::kSnapshot) check(s.text.size() > 4);

    // A typed text ending in a carriage return (a line ending "\r\r\n") has no line of its
    // own: the line end's carriage return is dropped.
    if (!s.text.empty() && s.text.back() == '\r') continue;
    ui_script::Parsed again = ui_script::parse(line_of(s));
    check(again.errors.empty() && again.steps.size() == 1 && same(again.steps[0], s));
  }
  for (const std::string& error : parsed.errors) check(error.rfind("line ", 0) == 0);
  return 0;
}
