#pragma once
// The server's side of the dialogue's turns: bytes in, whole replies out, each matched to the
// command it answers.
//
// SNPP takes turns: we write a command, the server answers it with one reply. A reply counts
// only for a command already written in full: bytes that arrived before a command was written
// can never be its reply (the server cannot answer what it has not received), and a reply that
// comes while no command awaits one answers nothing. Either is a protocol error, never an
// outcome: a server that sends "220" and ten "250 ok" at once must not have its lines taken for
// the replies to PAGE, MESS and SEND.
//
//   Append(bytes)   what the socket delivered
//   Unread()        bytes received and not yet taken as a reply: check before writing a command
//   Expect()        a command (or the connection, for the greeting) has gone out in full: one
//                   reply is now outstanding
//   Next()          the next whole reply: kReply when one was outstanding, kUnsolicited when
//                   none was, kMalformed for a continued reply that broke its form; nothing
//                   while a reply is still incomplete
//   Desynchronize() after a protocol error: everything buffered is dropped, and nothing more is
//                   taken from this connection until Reset()
//
// Lines come from LineFramer (a line cap of 4096 bytes) and are gathered by ReplyAssembler, so
// memory stays bounded. One per connection; Reset() for the next.
//
// Threading: none of its own; one caller at a time.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "kestrel/session/line_framer.hpp"
#include "kestrel/session/reply_assembler.hpp"

namespace kestrel::session {

class ReplyReader {
 public:
  struct Received {
    enum class Kind { kReply, kUnsolicited, kMalformed };
    Kind kind = Kind::kReply;
    std::string text;       // the whole reply as received; for kMalformed, its first line
    std::string why;        // kMalformed: what was wrong, in words
    bool answered = false;  // a reply was outstanding when it came
  };

  void Append(std::string_view bytes);
  std::optional<Received> Next();

  void Expect() noexcept { outstanding_ = true; }
  bool outstanding() const noexcept { return outstanding_; }
  // Bytes (a whole or partial line, or part of a continued reply) not yet taken as a reply.
  bool Unread() const noexcept { return framer_.buffered() > 0 || assembler_.pending(); }
  // The start of what is unread, for a text that names it.
  std::string UnreadStart() const;

  void Desynchronize();
  bool desynchronized() const noexcept { return desynchronized_; }
  void Reset();

 private:
  LineFramer framer_;
  ReplyAssembler assembler_;
  bool outstanding_ = false;
  bool desynchronized_ = false;
};

}  // namespace kestrel::session
