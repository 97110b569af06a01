#include "dialogue.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

namespace kestrel::sandbox {

namespace {

enum class Verb {
  kPage,
  kMess,
  kRese,
  kSend,
  kQuit,
  kHelp,
  kData,
  kLogi,
  kLeve,
  kCove,
  kHold,
  kAler,
  kCall,
  kSubj,
  kUnknown
};

struct Keyword {
  std::string_view name;
  Verb verb;
};

constexpr std::array<Keyword, 14> kKeywords{{
    {"PAGE", Verb::kPage},
    {"MESS", Verb::kMess},
    {"RESE", Verb::kRese},
    {"SEND", Verb::kSend},
    {"QUIT", Verb::kQuit},
    {"HELP", Verb::kHelp},
    {"DATA", Verb::kData},
    {"LOGI", Verb::kLogi},
    {"LEVE", Verb::kLeve},
    {"COVE", Verb::kCove},
    {"HOLD", Verb::kHold},
    {"ALER", Verb::kAler},
    {"CALL", Verb::kCall},
    {"SUBJ", Verb::kSubj},
}};

constexpr std::string_view kHelpText =
    "214 Level 1 commands:\r\n"
    "214     PAGEr <pager ID> [PIN]\r\n"
    "214     MESSage <message>\r\n"
    "214     RESEt\r\n"
    "214     SEND\r\n"
    "214     QUIT\r\n"
    "214     HELP\r\n"
    "214 Level 2 commands:\r\n"
    "214     DATA\r\n"
    "214     LOGIn <user> [password]\r\n"
    "214     LEVEl <0-11>\r\n"
    "214     COVErage <area>\r\n"
    "214     HOLDuntil <YYMMDDHHMM[SS]> [+/-HHMM]\r\n"
    "214     ALERt <0|1>\r\n"
    "214     CALLerid <caller ID>\r\n"
    "214     SUBJect <subject>\r\n"
    "250 End of Help Information\r\n";

constexpr std::string_view kBlanks = " \t";

std::string_view TrimLeft(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  return first == s.npos ? std::string_view() : s.substr(first);
}

// Takes the first blank-separated word off `rest`.
std::string_view NextWord(std::string_view& rest) {
  rest = TrimLeft(rest);
  const auto end = std::min(rest.find_first_of(kBlanks), rest.size());
  const auto word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Only the first four characters of a keyword count, in any case (PAGEr, page, MESSage).
Verb Lookup(std::string_view word) {
  if (word.size() < 4) return Verb::kUnknown;
  std::string key(word.substr(0, 4));
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const auto& k : kKeywords) {
    if (k.name == key) return k.verb;
  }
  return Verb::kUnknown;
}

int TwoDigits(std::string_view s, std::size_t at) {
  return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

// YYMMDDHHMM or YYMMDDHHMMSS naming a real date. The century is not on the wire; 20YY is
// as good a guess as any for checking the day of the month.
bool ValidHoldTime(std::string_view t) {
  if ((t.size() != 10 && t.size() != 12) || !AllDigits(t)) return false;
  using namespace std::chrono;
  const year_month_day date{year(2000 + TwoDigits(t, 0)),
                            month(static_cast<unsigned>(TwoDigits(t, 2))),
                            day(static_cast<unsigned>(TwoDigits(t, 4)))};
  const int seconds = t.size() == 12 ? TwoDigits(t, 10) : 0;
  return date.ok() && TwoDigits(t, 6) <= 23 && TwoDigits(t, 8) <= 59 && seconds <= 59;
}

// +HHMM or -HHMM.
bool ValidHoldOffset(std::string_view o) {
  return o.size() == 5 && (o[0] == '+' || o[0] == '-') && AllDigits(o.substr(1)) &&
         TwoDigits(o, 1) <= 23 && TwoDigits(o, 3) <= 59;
}

}  // namespace

Dialogue::Step Dialogue::Handle(std::string_view line) {
  return in_body_ ? BodyLine(line) : Command(line);
}

Dialogue::Step Dialogue::Command(std::string_view line) {
  std::string_view args = line;
  const auto word = NextWord(args);
  args = TrimLeft(args);

  switch (Lookup(word)) {
    case Verb::kPage:
      return {PageCommand(args)};
    case Verb::kMess:
      if (tx_.message) return {"503 ERROR, Message Already Entered\r\n"};
      if (args.empty()) return {"550 Error, Invalid Message\r\n"};
      if (args.size() > options_.max_message) return {"550 Error, Message Too Long\r\n"};
      tx_.message = std::string(args);
      tx_.via = MessageVia::kMess;
      return {"250 Message OK\r\n"};
    case Verb::kRese:
      Reset();
      return {"250 RESET OK\r\n"};
    case Verb::kSend:
      return SendCommand();
    case Verb::kQuit:
      return {"221 OK, Goodbye\r\n", true};
    case Verb::kHelp:
      return {std::string(kHelpText)};
    case Verb::kData:
      if (tx_.message) return {"503 ERROR, Message Already Entered\r\n"};
      in_body_ = true;
      body_too_long_ = false;
      body_.clear();
      return {"354 Begin Input; End with <CRLF>'.'<CRLF>\r\n"};
    case Verb::kLogi:
      return {LoginCommand(args)};
    case Verb::kLeve: {
      const auto level = NextWord(args);
      if (!AllDigits(level) || level.size() > 2 || !TrimLeft(args).empty()) {
        return {"550 Error, Invalid Service Level\r\n"};
      }
      const int value = std::stoi(std::string(level));
      if (value > 11) return {"550 Error, Invalid Service Level\r\n"};
      pending_.level = value;
      return {"250 Level of Service Accepted\r\n"};
    }
    case Verb::kCove:
      if (args.empty()) return {"550 Error, Invalid Alternate Region\r\n"};
      pending_.coverage = std::string(args);
      return {"250 Alternate Coverage Selected\r\n"};
    case Verb::kHold: {
      const auto time = NextWord(args);
      const auto offset = NextWord(args);
      if (!ValidHoldTime(time) || (!offset.empty() && !ValidHoldOffset(offset)) ||
          !TrimLeft(args).empty()) {
        return {"550 Error, Invalid Delivery Date/Time\r\n"};
      }
      pending_.hold =
          offset.empty() ? std::string(time) : std::string(time) + " " + std::string(offset);
      return {"250 Delayed Messaging Selected\r\n"};
    }
    case Verb::kAler: {
      const auto flag = NextWord(args);
      if ((flag != "0" && flag != "1") || !TrimLeft(args).empty()) {
        return {"550 Error, Invalid Alert Parameter\r\n"};
      }
      pending_.alert = flag == "1";
      return {"250 OK, Alert Override Accepted\r\n"};
    }
    case Verb::kCall:
      if (args.empty()) return {"550 Error, Invalid Caller ID\r\n"};
      tx_.caller = std::string(args);
      return {"250 Caller ID Accepted\r\n"};
    case Verb::kSubj:
      if (args.empty()) return {"550 Error, Invalid Subject\r\n"};
      tx_.subject = std::string(args);
      return {"250 Message Subject OK\r\n"};
    case Verb::kUnknown:
      break;
  }
  return {"500 Command Not Implemented\r\n"};
}

Dialogue::Step Dialogue::BodyLine(std::string_view line) {
  if (line == ".") {
    in_body_ = false;
    if (!body_.empty()) body_.pop_back();  // the "\n" after the last line
    if (body_too_long_) return {"550 Error, Message Too Long\r\n"};
    if (body_.empty()) return {"550 Error, Invalid Message\r\n"};
    tx_.message = std::move(body_);
    tx_.via = MessageVia::kData;
    body_.clear();
    return {"250 Message OK\r\n"};
  }
  if (line.starts_with("..")) line.remove_prefix(1);
  if (body_too_long_ || body_.size() + line.size() + 1 > options_.max_message + 1) {
    body_too_long_ = true;  // keep reading up to the "." but stop storing
  } else {
    body_.append(line);
    body_.push_back('\n');
  }
  return {};
}

std::string Dialogue::PageCommand(std::string_view args) {
  // Whatever follows the ID is the PIN; it is checked by nobody and kept nowhere.
  const auto id = NextWord(args);
  if (!AllDigits(id) || std::find(options_.refused_pagers.begin(), options_.refused_pagers.end(),
                                  id) != options_.refused_pagers.end()) {
    return "550 Error, Invalid Pager ID\r\n";
  }
  if (tx_.pagers.size() >= kMaxRecipients) return "552 Error, Maximum Entries Exceeded\r\n";
  // The waiting options go with this pager and are used up by it. A refused PAGE leaves them
  // waiting for the next one, so a client may correct the ID without repeating them.
  tx_.pagers.push_back(Recipient{std::string(id), std::move(pending_.level),
                                 std::move(pending_.coverage), std::move(pending_.hold),
                                 std::move(pending_.alert)});
  pending_ = {};
  return "250 Pager ID Accepted\r\n";
}

std::string Dialogue::LoginCommand(std::string_view args) {
  const auto user = NextWord(args);
  const auto password = TrimLeft(args);
  if (user.empty() ||
      (options_.login && (options_.login->user != user || options_.login->password != password))) {
    return "550 Error, Invalid Login ID or Password\r\n";
  }
  login_ = std::string(user);
  return "250 Login Accepted\r\n";
}

Dialogue::Step Dialogue::SendCommand() {
  if (tx_.pagers.empty() || !tx_.message) return {"503 Error, Pager ID or Message Incomplete\r\n"};
  // Either way the transaction is over: a client that wants to retry enters it again.
  if (options_.fail_send) {
    Reset();
    return {"554 Error, failed (technical reason)\r\n"};
  }
  sandbox::Page page{std::move(tx_.pagers),
                     std::move(*tx_.message),
                     std::move(tx_.subject),
                     std::move(tx_.caller),
                     login_,
                     tx_.via,
                     std::chrono::system_clock::now()};
  Reset();
  return {"250 Message Sent Successfully\r\n", false, std::move(page)};
}

void Dialogue::Reset() {
  tx_ = {};
  pending_ = {};
}

}  // namespace kestrel::sandbox
