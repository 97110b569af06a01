#pragma once
// The one runtime-error type of the control: a number and a description.
//
// Platform adapters turn std::error_code and friends into it at their boundary; the paging session
// raises it for its own faults. The description always says what went wrong and what to do, and
// never carries a password.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrel {

class RuntimeError : public std::runtime_error {
 public:
  RuntimeError(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  std::int32_t number() const noexcept { return number_; }
  std::string description() const { return what(); }

 private:
  std::int32_t number_;
};

// Error numbers. Stable: hosts may compare against them.
namespace err {
// Automation conversions and dispatch (the numbers hosts of automation objects know).
inline constexpr std::int32_t kInvalidProcedureCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kInternalError = 51;
inline constexpr std::int32_t kNoSuchMember = 438;
inline constexpr std::int32_t kWrongArgumentCount = 450;

// Socket component.
inline constexpr std::int32_t kSocketNotConnected = 10001;   // write while not connected
inline constexpr std::int32_t kSocketNotClosed = 10002;      // Connect while a connection is open
inline constexpr std::int32_t kSocketBadPort = 10003;        // port outside 1..65535 at Connect
inline constexpr std::int32_t kSocketBadHost = 10004;        // empty or unresolvable host name
inline constexpr std::int32_t kSocketConnectFailed = 10005;  // refused, unreachable, timed out
inline constexpr std::int32_t kSocketIo = 10006;  // read or write failed on the connection
inline constexpr std::int32_t kSocketClosedByPeer = 10007;  // the server closed the connection

// TLS on the socket. A failed handshake is reported through the socket's OnClosed with one of
// these; the settings error is raised when the TLS context is built.
inline constexpr std::int32_t kTlsUntrusted = 10008;        // no trusted CA issued the certificate
inline constexpr std::int32_t kTlsNameMismatch = 10009;     // the certificate is for another name
inline constexpr std::int32_t kTlsExpired = 10010;          // expired or not yet valid
inline constexpr std::int32_t kTlsHandshakeFailed = 10011;  // no TLS, old version, refused
inline constexpr std::int32_t kTlsSettings = 10012;  // CA file, client certificate or key unusable
// The server wants a client certificate and none was given, or it refused the one given.
inline constexpr std::int32_t kTlsClientCertificate = 10013;

// Timer component.
inline constexpr std::int32_t kTimerBadInterval = 10101;

// Paging session.
// CR, LF or NUL in a one-line parameter.
inline constexpr std::int32_t kLineBreakInParameter = 20001;
inline constexpr std::int32_t kConnectionLost = 20002;  // connection gone mid-dialogue
inline constexpr std::int32_t kMalformedReply = 20003;  // a continued reply broke its own form
inline constexpr std::int32_t kReplyOutOfTurn = 20004;  // a reply before its command, or unasked

// Settings files.
inline constexpr std::int32_t kSettingsFileUnreadable = 20101;  // missing, no permission
inline constexpr std::int32_t kSettingsFileDamaged = 20102;     // not a settings file we can read
inline constexpr std::int32_t kSettingsFileWrite = 20103;       // could not be written

// Control shell.
inline constexpr std::int32_t kNamedArgumentsNotSupported = 446;  // a call with named arguments
inline constexpr std::int32_t kSiteRefusedChange = 30001;         // the site failed a change notice
inline constexpr std::int32_t kSiteNoAmbientFont = 30002;  // the site could not give its font
inline constexpr std::int32_t kRegistryFailed = 30003;     // registry file unreadable, unwritable
}  // namespace err

}  // namespace kestrel
