// The scripted user's line format: one step a line, checked and turned into Step records.
#include "headless_win32/ui_script_parser.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace ui_script {
namespace {

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole token as a decimal number within [low, high].
bool parse_number(const std::string& token, long low, long high, long& out) {
  if (token.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

bool parse_scroll_code(const std::string& token, int& out) {
  static const char* const kNames[] = {"lineleft",  "lineright",     "pageleft",
                                       "pageright", "thumbposition", "thumbtrack",
                                       "left",      "right",         "endscroll"};
  long number;
  if (parse_number(token, 0, 0xFFFF, number)) {
    out = int(number);
    return true;
  }
  std::string name = lower(token);
  if (name.rfind("sb_", 0) == 0) name = name.substr(3);
  for (int i = 0; i < 9; ++i) {
    if (name == kNames[i]) {
      out = i;
      return true;
    }
  }
  return false;
}

// What follows the first `words` blank-separated words of the line and the one blank after
// them, blanks included; empty when the line has no more.
std::string rest_after(const std::string& line, int words) {
  std::size_t at = 0;
  for (int i = 0; i < words; ++i) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string::npos) return "";
    at = line.find_first_of(" \t", at);
    if (at == std::string::npos) return "";
  }
  return line.substr(at + 1);
}

bool ends_with_png(const std::string& file) {
  return file.size() > 4 && lower(file.substr(file.size() - 4)) == ".png";
}

// Parses one line that holds a step; an error message when it is malformed.
std::string parse_step(const std::string& line, Step& step) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::vector<std::string> args;
  for (std::string token; in >> token;) args.push_back(token);
  auto id_at = [&](std::size_t i, int& out) {
    long value;
    if (i >= args.size() || !parse_number(args[i], 0, 0xFFFF, value)) return false;
    out = int(value);
    return true;
  };
  auto coordinate_at = [&](std::size_t i, int& out) {
    long value;
    if (i >= args.size() || !parse_number(args[i], -32768, 32767, value)) return false;
    out = int(value);
    return true;
  };
  if (verb == "wait-ready") {
    step.verb = Verb::kWaitReady;
    return args.empty() ? "" : "wait-ready takes nothing";
  }
  if (verb == "type") {
    step.verb = Verb::kType;
    if (!id_at(0, step.id)) return "type needs a control id";
    step.text = rest_after(line, 2);
    return "";
  }
  if (verb == "focus" || verb == "click") {
    step.verb = verb == "focus" ? Verb::kFocus : Verb::kClick;
    if (args.size() != 1 || !id_at(0, step.id)) return verb + " needs one control id";
    return "";
  }
  if (verb == "key") {
    step.verb = Verb::kKey;
    std::string name = args.size() == 1 ? lower(args[0]) : "";
    if (name == "enter" || name == "return") {
      step.key = Key::kEnter;
    } else if (name == "esc" || name == "escape") {
      step.key = Key::kEsc;
    } else if (name == "tab") {
      step.key = Key::kTab;
    } else {
      return "key takes enter, esc or tab";
    }
    return "";
  }
  if (verb == "scroll") {
    step.verb = Verb::kScroll;
    if (args.size() < 2 || args.size() > 3 || !id_at(0, step.id))
      return "scroll needs a control id, a code and an optional position";
    if (!parse_scroll_code(args[1], step.code)) return "unknown scroll code '" + args[1] + "'";
    long position = 0;
    if (args.size() == 3 && !parse_number(args[2], -32768, 65535, position))
      return "bad scroll position '" + args[2] + "'";
    step.position = int(position);
    return "";
  }
  if (verb == "press" || verb == "move" || verb == "release") {
    step.verb = verb == "press" ? Verb::kPress : verb == "move" ? Verb::kMove : Verb::kRelease;
    if (args.size() != 3 || !id_at(0, step.id) || !coordinate_at(1, step.x) ||
        !coordinate_at(2, step.y))
      return verb + " needs a control id and two coordinates";
    return "";
  }
  if (verb == "tick" || verb == "expect-beeps") {
    step.verb = verb == "tick" ? Verb::kTick : Verb::kExpectBeeps;
    if (args.size() != 1 || !parse_number(args[0], 0, 1000000, step.count))
      return verb + " needs a count";
    return "";
  }
  if (verb == "expect-text") {
    step.verb = Verb::kExpectText;
    if (!id_at(0, step.id)) return "expect-text needs a control id";
    step.text = rest_after(line, 2);
    return "";
  }
  if (verb == "snapshot") {
    step.verb = Verb::kSnapshot;
    // The file is the rest of the line, so that a name may hold blanks.
    std::string file = rest_after(line, 2);
    std::size_t last = file.find_last_not_of(" \t");
    file = last == std::string::npos ? "" : file.substr(0, last + 1);
    if (args.size() < 2 || (args[0] != "dialog" && !id_at(0, step.id)) || file.empty())
      return "snapshot needs dialog or a control id, and a file";
    if (args[0] == "dialog") step.id = kWholeDialog;
    if (!ends_with_png(file)) return "snapshot writes PNG files: '" + file + "' must end in .png";
    step.text = file;
    return "";
  }
  return "unknown step '" + verb + "'";
}

}  // namespace

Parsed parse(const std::string& text) {
  Parsed out;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    Step step;
    step.line = number;
    std::string error = parse_step(line, step);
    if (error.empty())
      out.steps.push_back(step);
    else
      out.errors.push_back("line " + std::to_string(number) + ": " + error);
  }
  return out;
}

}  // namespace ui_script
