#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <sys/types.h>

// The extended attributes a copy takes along: user.* always; security.* (never
// security.capability: like the set-ID bits it would hand out rights) and trusted.* where
// the system lets us read and write them; the POSIX ACLs system.posix_acl_access and
// system.posix_acl_default.
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

// The attributes of the open file fd that the destination may hold. sourceHasNone is set
// when the source's file system keeps no attributes at all; then nothing is asked of it.
ExtendedAttributes ReadAttributes(int fd, const AttributeRefusals& refusals,
                                  std::atomic<bool>& sourceHasNone);

// With an access ACL a mode's group bits are the ACL's mask, which may grant the group far
// more than the ACL does. Without the ACL (a destination that refuses it) the owning group
// gets what the ACL gave it, never more.
mode_t ModeWithoutAcl(mode_t mode, const ExtendedAttributes& attributes);

// Sets the attributes on the open file fd, or on the folder at path (never followed): the
// ACLs when acls is true (after the mode: setting the mode changes an ACL's mask), else all
// the others (before the mode: a read-only mode would keep user.* out). A refusal leaves the
// attribute out; one for good is remembered.
void WriteAttributes(int fd, const ExtendedAttributes& attributes, bool acls,
                     AttributeRefusals& refusals);
void WriteAttributes(const std::string& path, const ExtendedAttributes& attributes, bool acls,
                     AttributeRefusals& refusals);
