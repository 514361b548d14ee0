// Frames as text for the developer tools: a frame written on a command line
// ("54:string:https://example.com/") and a received frame as one printable
// line of its decoded members.
//
// Frame syntax: TYPE:KIND[:VALUE], TYPE a decimal type number (0-16777215),
// KIND hex, empty, or the kind of TYPE's class (typeTable()).
//   string:TEXT       one text field (IPCMessageSimpleString's payload); TEXT
//                     is taken literally up to the end, colons included
//   strings:A,B,...   a list of texts (IPCMessageStringArray); empty: no texts
//   u32:N   u64:N     one number (IPCMessageUnsignedInt / ...Int64)
//   u32s:N,N,...      a list of numbers (IPCMessageUnsignedIntArray); empty: none
//   hex:0011AA        the payload as given; spaces between bytes are allowed
//   empty             no payload
// The payload is encoded by the message class named beside each kind, so it
// is exactly what the library would send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/MessageClasses.h"
#include "kesu/ipc/IPCMessage.h"

namespace kesu_tools {

// Long values are cut in printed lines; the line says how much was left out.
constexpr size_t kMaxShownTextBytes = 4096;
constexpr size_t kMaxShownHexBytes = 256;
constexpr size_t kMaxShownElements = 64;

// Decimal digits only, at most `maximum`.
bool parseUnsigned(std::string const& text, uint64_t maximum, uint64_t& out);
// Pairs of hex digits; blanks between pairs are skipped.
bool parseHex(std::string const& text, std::vector<char>& out);
// False with a reason when `text` does not follow the syntax above.
bool parseFrame(std::string const& text, IPCMessageStruct& out, std::string& error);

// Bytes as a double-quoted text: printable ASCII as is, backslash and quote
// escaped, everything else as \n, \t, \r or \xNN.
std::string quoted(std::string const& bytes);
std::string hexBytes(void const* data, size_t size);
inline std::string hexBytes(std::vector<char> const& bytes) { return hexBytes(bytes.data(), bytes.size()); }

// The frame built and decoded the way the client's receive loop does it.
std::unique_ptr<IPCMessage> decodeFrame(IPCMessageStruct const& frame);
// The members of a decoded message, as its class shows them, and then
// "trailing" (bytes the class ignored) or "broken" (a payload the class
// cannot have written).
void visitMembers(IPCMessage const& message, MemberSink& sink);
// For help texts: the type numbers of each class and the KIND that writes one.
std::string typeTable();
// "type=54 class=IPCMessageSimpleString length=25 text=\"...\"".
std::string describeFrame(IPCMessageStruct const& frame, bool withPayloadHex);

}  // namespace kesu_tools
