#include "core/scan/output_names.h"

#include <cerrno>
#include <system_error>

#include "core/common/text.h"

namespace dravonel {

std::string outputName(std::u16string_view diskName) {
    std::u16string name = trim(diskName);
    for (char16_t& c : name)
        if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\') c = u'_';
    if (name.empty()) return "_";
    if (name.find_first_not_of(u'.') == std::u16string::npos) name.assign(name.size(), u'_');
    std::string out = toUtf8(name);
    if (out.size() > kMaxNameBytes) {
        const std::size_t dot = out.rfind('.');
        const std::size_t extLen = dot == std::string::npos ? 0 : out.size() - dot;
        if (dot != std::string::npos && dot > 0 && extLen <= 16) {
            out = cutUtf8(out.substr(0, dot), kMaxNameBytes - extLen) + out.substr(dot);
        } else {
            out = cutUtf8(out, kMaxNameBytes);
        }
    }
    return out;
}

std::filesystem::path OutputNames::filePath(const std::filesystem::path& folder, const std::string& name) {
    // Bounded: in a folder that cannot be examined (no rights) every name looks taken;
    // the last candidate is then handed out and its creation fails with the reason.
    std::filesystem::path candidate;
    for (unsigned n = 0; n < 10000; ++n) {
        candidate = folder / (n == 0 ? name : numberedName(name, n));
        std::string key = candidate.string();
        if (used_.count(key)) continue;
        std::error_code ec;
        const auto type = std::filesystem::symlink_status(candidate, ec).type();
        // A name the output refuses cannot be looked at either: creating it says why.
        const bool refused = ec && nameRefused(ec.value(), candidate) && ec.value() != ENOENT;
        if (type != std::filesystem::file_type::not_found && !refused) continue;
        used_.insert(std::move(key));
        return candidate;
    }
    return candidate;
}

std::filesystem::path OutputNames::folderPath(const std::filesystem::path& folder, const std::string& name) {
    lastMade_ = false;
    lastRenamedFrom_.clear();
    std::filesystem::path made = folderPathAs(folder, name);
    if (!made.empty() || !nameRefused(lastError_, folder / name)) return made;
    const std::string portable = portableName(name);
    if (portable == name) return made;
    made = folderPathAs(folder, portable);
    if (!made.empty()) lastRenamedFrom_ = name;
    return made;
}

std::filesystem::path OutputNames::folderPathAs(const std::filesystem::path& folder, const std::string& name) {
    lastError_ = 0;
    for (unsigned n = 0; n < 10000; ++n) {
        std::filesystem::path candidate = folder / (n == 0 ? name : numberedName(name, n));
        std::error_code ec;
        const auto st = std::filesystem::symlink_status(candidate, ec);
        if (!ec && st.type() == std::filesystem::file_type::directory) return candidate;
        if (ec || st.type() == std::filesystem::file_type::not_found) {
            if (std::filesystem::create_directory(candidate, ec) && !ec) {
                lastMade_ = true;
                return candidate;
            }
            lastError_ = ec.value();
            // Something else took the name meanwhile: try the next variant; any other
            // failure (no such parent, no room, no rights) ends the search.
            if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return {};
            continue;
        }
        // A file or link of that name: try the next variant.
    }
    return {};
}

}  // namespace dravonel
