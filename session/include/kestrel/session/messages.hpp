#pragma once
// Every text the paging session itself shows a user, in one place so that the wording cannot
// drift. Each says what went wrong and what to do. (The server's own replies are passed on as
// they are; they are not ours to word.)

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace kestrel::session::messages {

// OnError when no greeting came within ServerTimeout seconds. Hosts compare against it.
inline constexpr const char* kConnectTimeout = "Connect Server Time out!";

// The connection ended while a command other than SEND awaited its reply.
inline std::string ConnectionLostInDialogue(std::string_view description) {
  return "The connection to the paging server was lost during the dialogue (" +
         std::string(description) + "); the page was not sent. Check the server and send again.";
}

// The connection ended while SEND awaited its reply: the outcome is unknown.
inline std::string ConnectionLostAwaitingSend(std::string_view description) {
  return "The connection to the paging server was lost while waiting for the reply to SEND (" +
         std::string(description) +
         "); the page may or may not have been delivered. Check with the paging service before "
         "sending again.";
}

// The start of a server's line for a text of ours: without its line end, at most 60 bytes.
inline std::string Quoted(std::string_view line) {
  constexpr std::size_t kShown = 60;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string shown(line.substr(0, kShown));
  if (line.size() > kShown) shown += "...";
  return "\"" + shown + "\"";
}

// What a broken exchange means for the page, said at the end of the text about it.
enum class PageFate {
  kNotSent,    // SEND was not written, or the server refused it
  kUnknown,    // SEND was written and its reply is missing or broken
  kDelivered,  // the server had accepted SEND (OnComplete was raised)
};

inline std::string FateText(PageFate fate) {
  switch (fate) {
    case PageFate::kNotSent:
      break;
    case PageFate::kUnknown:
      return "the page may or may not have been delivered. Check with the paging service before "
             "sending again.";
    case PageFate::kDelivered:
      return "the page had already been accepted.";
  }
  return "the page was not sent. Check the server and send again.";
}

// A continued reply broke its own form: too many lines, too long, or its code changed.
inline std::string MalformedReply(std::string_view first_line, std::string_view why,
                                  PageFate fate) {
  return "The paging server's reply " + Quoted(first_line) + " was not well formed (" +
         std::string(why) + "); " + FateText(fate);
}

// A reply out of turn: bytes that arrived before `command` was written (so they cannot answer
// it), or, with `command` empty, a reply while no command awaited one.
inline std::string ReplyOutOfTurn(std::string_view line, std::string_view command, PageFate fate) {
  std::string what = "The paging server sent " + Quoted(line);
  what += command.empty() ? " while no command awaited a reply"
                          : " before our " + std::string(command) +
                                " was written, so it cannot be the reply to it";
  return what + "; its replies no longer match our commands, and " + FateText(fate);
}

// A one-line parameter holds a line break. Names the property, never quotes its value: it may
// be the password.
inline std::string LineBreakInParameter(std::string_view property) {
  std::string what(property);
  what += " contains a line break; an SNPP command is one line. Remove the line break";
  if (property == "Message") {
    what += " (put multi-line text in Data and leave Message empty, at SnppLevel 2)";
  }
  what += " and send again.";
  return what;
}

// A one-line parameter holds a NUL character. Names the property, never quotes its value.
inline std::string NulInParameter(std::string_view property) {
  return std::string(property) +
         " contains a NUL character, which would cut the SNPP command short. Remove the NUL "
         "character and send again.";
}

// An unexpected C++ exception caught while a notification was handled.
inline std::string InternalError(const std::exception& e) {
  return std::string("Internal error in the paging control: ") + e.what() +
         ". Close the connection and send again; report this if it repeats.";
}

}  // namespace kestrel::session::messages
