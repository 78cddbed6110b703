// Platform paths ("\storage\mxip_lang.vol") to host paths inside an image.
//
// A path is split at backslashes; ".", "..", a '/' or a NUL in a component refuse it.
// Each component is looked up in the host folder reached so far: the one entry that
// equals it ignoring case; where the host holds several that the phone would read
// alike, the component is not found. A symbolic link is followed
// only when its target stays inside the image (or the attachment) and outside the
// image's state folder; the host path handed back has every such link resolved.
#include <sys/stat.h>

#include <algorithm>

#include "store/store.h"
#include "store/text.h"

namespace store {

namespace {

bool IsInside(const fs::path& path, const fs::path& root) {
    auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return r == root.end();
}

// The components of an absolute platform path; Denied for a component that could
// leave the folder it names, PathNotFound for a path that is not absolute.
PathStatus SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    if (path.empty() || path.front() != u'\\') return PathStatus::PathNotFound;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        const std::u16string_view part = path.substr(start, end - start);
        if (part == u"." || part == u"..") return PathStatus::Denied;
        if (part.find_first_of(std::u16string_view(u"/\0", 2)) != std::u16string_view::npos)
            return PathStatus::Denied;
        if (!part.empty()) parts->push_back(part);
        start = end + 1;
    }
    return PathStatus::Ok;
}

// The host name in folder of the entry that a platform component names: the one
// entry whose name, read as UTF-8, equals it ignoring case. None when no entry does,
// and none when several do (two names that differ only in case, or in bytes that
// are not UTF-8 and read alike as U+FFFD): the phone could not tell them apart, so
// neither is picked.
std::optional<std::string> FindEntry(const fs::path& folder, std::u16string_view part) {
    const std::u16string folded = text::FoldCase(part);
    std::optional<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (text::FoldCase(text::FromUtf8(name)) != folded) continue;
        if (found) return std::nullopt;
        found = name;
    }
    return found;
}

struct Base {
    fs::path root;        // canonical host folder the path lives in
    bool isImage = true;  // false for an attachment
    size_t skip = 0;      // components of the platform path the attachment takes
};

Base ChooseBase(const fs::path& image, const std::vector<PathAttachment>& attachments,
                const std::vector<std::u16string_view>& parts) {
    std::error_code ec;
    Base best{fs::canonical(image, ec), true, 0};
    for (const PathAttachment& a : attachments) {
        std::vector<std::u16string_view> mount;
        if (SplitPath(a.platformPath, &mount) != PathStatus::Ok || mount.empty()) continue;
        if (mount.size() > parts.size() || mount.size() <= best.skip) continue;
        if (!std::equal(mount.begin(), mount.end(), parts.begin(),
                        [](auto x, auto y) { return text::EqualNoCase(x, y); }))
            continue;
        best = {fs::canonical(a.hostFolder, ec), false, mount.size()};
    }
    return best;
}

// Walks parts[base.skip, count) from the base; the last one walked may be missing
// (NotFound) when lastMayBeMissing, every other must be an existing folder.
PathStatus Walk(const Base& base, const std::vector<std::u16string_view>& parts, size_t count,
                bool lastMayBeMissing, fs::path* out) {
    if (base.root.empty()) return PathStatus::PathNotFound;
    const fs::path state = base.root / kStateFolder;
    fs::path current = base.root;
    for (size_t i = base.skip; i < count; ++i) {
        const bool last = i + 1 == count;
        const auto missing = last && lastMayBeMissing ? PathStatus::NotFound
                                                      : PathStatus::PathNotFound;
        const auto name = FindEntry(current, parts[i]);
        if (!name) return missing;
        fs::path next = current / *name;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) return missing;
        if (S_ISLNK(st.st_mode)) {
            std::error_code ec;
            next = fs::canonical(next, ec);
            if (ec) return missing;
            if (!IsInside(next, base.root)) return PathStatus::Denied;
            if (stat(next.c_str(), &st) != 0) return missing;
        }
        if (base.isImage && IsInside(next, state)) return PathStatus::Denied;
        if (!(last && lastMayBeMissing) && !S_ISDIR(st.st_mode)) return PathStatus::PathNotFound;
        current = next;
    }
    *out = current;
    return PathStatus::Ok;
}

}  // namespace

PathMap::PathMap(fs::path image, std::vector<PathAttachment> attachments)
    : image_(std::move(image)), attachments_(std::move(attachments)) {}

PathStatus PathMap::Resolve(std::u16string_view platformPath, fs::path* hostPath) const {
    std::vector<std::u16string_view> parts;
    if (auto status = SplitPath(platformPath, &parts); status != PathStatus::Ok) return status;
    const Base base = ChooseBase(image_, attachments_, parts);
    return Walk(base, parts, parts.size(), true, hostPath);
}

PathStatus PathMap::ResolveParent(std::u16string_view platformPath, fs::path* hostFolder,
                                  std::u16string* lastComponent) const {
    std::vector<std::u16string_view> parts;
    if (auto status = SplitPath(platformPath, &parts); status != PathStatus::Ok) return status;
    if (parts.empty()) return PathStatus::PathNotFound;
    const std::u16string last(parts.back());
    parts.pop_back();
    const Base base = ChooseBase(image_, attachments_, parts);
    if (auto status = Walk(base, parts, parts.size(), false, hostFolder);
        status != PathStatus::Ok)
        return status;
    *lastComponent = last;
    return PathStatus::Ok;
}

PathStatus PathMap::Locate(std::u16string_view platformPath, fs::path* hostEntry) const {
    fs::path folder;
    std::u16string last;
    if (auto status = ResolveParent(platformPath, &folder, &last); status != PathStatus::Ok) return status;
    const auto name = FindEntry(folder, last);
    if (!name) return PathStatus::NotFound;
    *hostEntry = folder / *name;
    return PathStatus::Ok;
}

std::optional<std::u16string> PathMap::PlatformPathOf(const fs::path& hostPath) const {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(fs::absolute(hostPath, ec), ec);
    if (ec) return std::nullopt;
    auto relative = [&](const fs::path& root, std::u16string prefix) {
        for (const auto& part : target.lexically_relative(root)) {
            if (part == ".") continue;
            if (prefix.empty() || prefix.back() != u'\\') prefix += u'\\';
            prefix += text::FromUtf8(part.string());
        }
        return prefix;
    };
    // The deepest attachment that holds the path wins.
    std::optional<std::u16string> best;
    size_t bestDepth = 0;
    for (const PathAttachment& a : attachments_) {
        const fs::path root = fs::weakly_canonical(a.hostFolder, ec);
        if (ec || !IsInside(target, root)) continue;
        const size_t depth = static_cast<size_t>(std::distance(root.begin(), root.end()));
        if (!best || depth > bestDepth) {
            best = relative(root, a.platformPath);
            bestDepth = depth;
        }
    }
    if (best) return best;
    const fs::path root = fs::weakly_canonical(image_, ec);
    if (ec || !IsInside(target, root) || IsInside(target, root / kStateFolder))
        return std::nullopt;
    return relative(root, u"\\");
}

}  // namespace store
