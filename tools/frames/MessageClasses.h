// The tools' one table of the library's message classes, by the factory's
// MessageClass (the library's table of type numbers): how a decoded message
// of each class shows its members, and how one is made with members drawn at
// random, for the fault mode's well-formed traffic.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/RandomValues.h"
#include "kesu/ipc/IPCMessage.h"
#include "kesu/ipc/IPCMessageFactory.h"
#include "kesu/ipc/IPCMessagePlayerMediaInfo.h"

namespace kesu_tools {

// Takes a decoded message's members one by one, so that the one walk over
// the message classes serves every output format.
class MemberSink {
public:
    virtual void number(char const* name, uint64_t value) = 0;
    virtual void flag(char const* name, bool value) = 0;
    virtual void text(char const* name, std::string const& bytes) = 0;
    virtual void hex(char const* name, void const* data, size_t size) = 0;
    virtual void numbers(char const* name, std::vector<uint32_t> const& values) = 0;
    virtual void texts(char const* name, std::vector<std::string> const& values) = 0;
    virtual void streams(char const* name, std::vector<IPCJSPlayerMediaInfo::Stream> const& values) = 0;

protected:
    ~MemberSink() = default;
};

struct MessageClassEntry {
    IPCMessageFactory::MessageClass messageClass;
    // `message` is of this class, as the factory makes it for its type, and
    // unserialized. A payload the class ignored, whole or in part, is shown
    // raw beside the members.
    void (*showMembers)(IPCMessage const& message, MemberSink& sink);
    // A message of this class with members drawn from `rng`.
    std::unique_ptr<IPCMessage> (*draw)(IPCMessageType type, Random& rng);
};

MessageClassEntry const& messageClassOf(IPCMessageType type);

}  // namespace kesu_tools
