#include "platform/ExtendedAttributes.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

constexpr std::string_view kAccessAcl = "system.posix_acl_access";
constexpr std::string_view kDefaultAcl = "system.posix_acl_default";
constexpr std::string_view kCapability = "security.capability";

std::optional<AttributeRefusals::Kind> KindOf(std::string_view name) {
    if (name.starts_with("user.")) {
        return AttributeRefusals::User;
    }
    if (name.starts_with("security.")) {
        return AttributeRefusals::Security;
    }
    if (name.starts_with("trusted.")) {
        return AttributeRefusals::Trusted;
    }
    if (name == kAccessAcl || name == kDefaultAcl) {
        return AttributeRefusals::Acl;
    }
    return std::nullopt;
}

// One call of a list or get function that reports ERANGE when the buffer is too small:
// asked again for the size, and once more with room for it.
template <typename Call>
bool ReadGrowing(std::string& buffer, Call call) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        ssize_t length = call(buffer.data(), buffer.size());
        if (length < 0 && errno == ERANGE) {
            length = call(nullptr, 0);
            if (length < 0) {
                return false;
            }
            buffer.resize(static_cast<size_t>(length) + 64);
            continue;
        }
        if (length < 0) {
            return false;
        }
        buffer.resize(static_cast<size_t>(length));
        return true;
    }
    return false;
}

template <typename Set>
void Write(const ExtendedAttributes& attributes, AttributePass pass, AttributeRefusals& refusals,
           Set set) {
    for (const ExtendedAttribute& attribute : attributes) {
        const auto kind = KindOf(attribute.name);
        if (!kind || (*kind == AttributeRefusals::Acl) != (pass == AttributePass::Acls) ||
            refusals.refused(*kind) ||
            (attribute.name == kCapability && pass != AttributePass::OthersAndCapability)) {
            continue;
        }
        if (set(attribute) != 0 && (errno == EOPNOTSUPP || errno == ENOSYS)) {
            refusals.refuse(*kind);
        }
    }
}

template <typename List, typename Get>
ExtendedAttributes Read(const AttributeRefusals& refusals, std::atomic<bool>& sourceHasNone,
                        List list, Get get) {
    if (sourceHasNone || refusals.everything()) {
        return {};
    }
    std::string names(1024, '\0');
    if (!ReadGrowing(names, list)) {
        if (errno == EOPNOTSUPP || errno == ENOSYS) {
            sourceHasNone = true;
        }
        return {};
    }
    ExtendedAttributes attributes;
    for (size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        const auto kind = KindOf(name);
        if (!kind || refusals.refused(*kind)) {
            continue;
        }
        std::string value(256, '\0');
        if (ReadGrowing(value, [&](char* buffer, size_t size) {
                return get(name.c_str(), buffer, size);
            })) {
            attributes.push_back({name, std::move(value)});
        }
        // An attribute we may not read, or one removed meanwhile, stays out.
    }
    return attributes;
}

}  // namespace

bool AttributeRefusals::everything() const {
    for (const std::atomic<bool>& kind : refused_) {
        if (!kind) {
            return false;
        }
    }
    return true;
}

ExtendedAttributes ReadAttributes(int fd, const AttributeRefusals& refusals,
                                  std::atomic<bool>& sourceHasNone) {
    return Read(
        refusals, sourceHasNone,
        [&](char* buffer, size_t size) { return ::flistxattr(fd, buffer, size); },
        [&](const char* name, char* buffer, size_t size) {
            return ::fgetxattr(fd, name, buffer, size);
        });
}

ExtendedAttributes ReadAttributes(const std::string& path, const AttributeRefusals& refusals,
                                  std::atomic<bool>& sourceHasNone) {
    return Read(
        refusals, sourceHasNone,
        [&](char* buffer, size_t size) { return ::llistxattr(path.c_str(), buffer, size); },
        [&](const char* name, char* buffer, size_t size) {
            return ::lgetxattr(path.c_str(), name, buffer, size);
        });
}

mode_t ModeWithoutAcl(mode_t mode, const ExtendedAttributes& attributes) {
    // The ACL's form on Linux: a 4-byte version, then entries of a 2-byte tag, 2-byte
    // permissions and a 4-byte id, little-endian.
    constexpr uint16_t kGroupObject = 0x04;
    constexpr uint16_t kMask = 0x10;
    for (const ExtendedAttribute& attribute : attributes) {
        if (attribute.name != kAccessAcl) {
            continue;
        }
        std::optional<unsigned> group;
        std::optional<unsigned> mask;
        const auto* bytes = reinterpret_cast<const unsigned char*>(attribute.value.data());
        for (size_t at = 4; at + 8 <= attribute.value.size(); at += 8) {
            const unsigned tag = bytes[at] | (bytes[at + 1] << 8);
            const unsigned permissions = (bytes[at + 2] | (bytes[at + 3] << 8)) & 07;
            if (tag == kGroupObject) {
                group = permissions;
            } else if (tag == kMask) {
                mask = permissions;
            }
        }
        if (group && mask) {
            return (mode & ~static_cast<mode_t>(070)) | static_cast<mode_t>((*group & *mask) << 3);
        }
    }
    return mode;
}

void WriteAttributes(int fd, const ExtendedAttributes& attributes, AttributePass pass,
                     AttributeRefusals& refusals) {
    Write(attributes, pass, refusals, [&](const ExtendedAttribute& attribute) {
        return ::fsetxattr(fd, attribute.name.c_str(), attribute.value.data(),
                           attribute.value.size(), 0);
    });
}

void WriteAttributes(const std::string& path, const ExtendedAttributes& attributes,
                     AttributePass pass, AttributeRefusals& refusals) {
    Write(attributes, pass, refusals, [&](const ExtendedAttribute& attribute) {
        return ::lsetxattr(path.c_str(), attribute.name.c_str(), attribute.value.data(),
                           attribute.value.size(), 0);
    });
}
