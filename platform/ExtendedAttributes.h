#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <sys/types.h>

// The extended attributes a copy takes along: user.* always; security.* and trusted.* where
// the system lets us read and write them (security.capability only where the copy keeps its
// owner: like the set-ID bits it would hand out rights); the POSIX ACLs
// system.posix_acl_access and system.posix_acl_default.
struct ExtendedAttribute {
    std::string name;
    std::string value;
};
using ExtendedAttributes = std::vector<ExtendedAttribute>;

// The kinds of attribute a destination refused for good (it does not hold them), learnt
// while copying and shared by the threads of one copy, so that it is not asked again.
class AttributeRefusals {
public:
    enum Kind { User, Security, Trusted, Acl, Kinds };
    bool refused(Kind kind) const { return refused_[kind]; }
    void refuse(Kind kind) { refused_[kind] = true; }
    bool everything() const;

private:
    std::atomic<bool> refused_[Kinds] = {};
};

// The attributes of the open file fd, or of the entry at path (never followed), that the
// destination may hold. sourceHasNone is set when the source's file system keeps no
// attributes at all; then nothing is asked of it.
ExtendedAttributes ReadAttributes(int fd, const AttributeRefusals& refusals,
                                  std::atomic<bool>& sourceHasNone);
ExtendedAttributes ReadAttributes(const std::string& path, const AttributeRefusals& refusals,
                                  std::atomic<bool>& sourceHasNone);

// With an access ACL a mode's group bits are the ACL's mask, which may grant the group far
// more than the ACL does. Without the ACL (a destination that refuses it) the owning group
// gets what the ACL gave it, never more.
mode_t ModeWithoutAcl(mode_t mode, const ExtendedAttributes& attributes);

// Which attributes one call of WriteAttributes sets: the ACLs after the mode (setting the
// mode changes an ACL's mask); all the others before it (a read-only mode would keep user.*
// out), security.capability with them only on a copy that has its source's owner, once the
// owner is set (a change of owner drops it).
enum class AttributePass { Others, OthersAndCapability, Acls };

// Sets the attributes on the open file fd, or on the entry at path (never followed). A
// refusal leaves the attribute out; one for good is remembered.
void WriteAttributes(int fd, const ExtendedAttributes& attributes, AttributePass pass,
                     AttributeRefusals& refusals);
void WriteAttributes(const std::string& path, const ExtendedAttributes& attributes,
                     AttributePass pass, AttributeRefusals& refusals);
