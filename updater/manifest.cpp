// Manifest parsing and entry-path checks. The signature check lives in signature.cpp.
#include <climits>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/installation_lock.h"
#include "updater/manifest.h"

#include "updater/case_fold.h"

namespace km::updater {

namespace {

using json = nlohmann::json;

// The manifest is read straight from the parser's events, without building the document tree
// first: a release of 20,000 files is a document of several MiB, and the tree of one small map
// per entry cost more than the lexing itself on every update check. The reading is the tree's
// reading exactly: of duplicate keys the last one counts (as the tree keeps it), and a value is
// judged only when it is the one that counts.

// One field of interest as last seen: absent, a usable value, or a value of the wrong type.
template <class T>
struct Field {
    enum class State { absent, set, wrong } state = State::absent;
    T value{};

    void set(T v) {
        state = State::set;
        value = std::move(v);
    }
    void wrong() { state = State::wrong; }
    bool is_wrong() const { return state == State::wrong; }
    bool is_set() const { return state == State::set; }
    T or_default(T fallback) const { return state == State::set ? value : fallback; }
    T take_or(T fallback) { return state == State::set ? std::move(value) : std::move(fallback); }
};

// A version number: a JSON number, fractions truncated toward zero, or a boolean (0 or 1).
int version_from_float(double number) {
    const double d = std::trunc(number);
    // Out of range the conversion is undefined; give what x86's truncating conversion gives.
    if (!(d >= double(INT_MIN) && d <= double(INT_MAX)))
        return INT_MIN;
    return static_cast<int>(d);
}

// "size": negative integers wrap to unsigned, fractions are truncated.
std::uint64_t size_from_float(double number) {
    const double d = std::trunc(number);
    constexpr double two_63 = 9223372036854775808.0;
    if (d >= 0 && d < 2 * two_63)
        return static_cast<std::uint64_t>(d);
    if (d < 0 && d >= -two_63)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
    return 0;  // beyond any 64-bit value: there is no sensible size
}

struct EntryFields {
    Field<std::string> path, sha256, platform;
    Field<std::uint64_t> size;
    Field<bool> executable;
};

// What one occurrence of a root key gave; a later occurrence of the same key replaces it.
struct VersionValue {
    bool present = false;
    bool not_object = false;
    Field<int> major, minor, patch;
};
struct FilesValue {
    bool is_array = false;
    bool bad_element = false;  // an element that is not an object, or a field of the wrong type
    std::vector<ManifestEntry> entries;
};

class ManifestReader : public nlohmann::json_sax<json> {
  public:
    bool valid() const {
        if (version_.present && (version_.not_object || version_.major.is_wrong() ||
                                 version_.minor.is_wrong() || version_.patch.is_wrong()))
            return false;
        return !(files_.is_array && files_.bad_element);
    }

    void store(UpdateManifest& out) {
        if (version_.present) {
            out.major = version_.major.or_default(0);
            out.minor = version_.minor.or_default(0);
            out.patch = version_.patch.or_default(0);
        }
        out.files.clear();
        if (files_.is_array)
            out.files = std::move(files_.entries);
    }

    bool null() override { return scalar(Scalar{Scalar::Kind::other}); }
    bool boolean(bool b) override {
        Scalar v{Scalar::Kind::boolean};
        v.b = b;
        return scalar(v);
    }
    bool number_integer(number_integer_t n) override {
        Scalar v{Scalar::Kind::integer};
        v.i = n;
        return scalar(v);
    }
    bool number_unsigned(number_unsigned_t n) override {
        Scalar v{Scalar::Kind::unsigned_integer};
        v.u = n;
        return scalar(v);
    }
    bool number_float(number_float_t n, const string_t&) override {
        Scalar v{Scalar::Kind::floating};
        v.d = n;
        return scalar(v);
    }
    bool string(string_t& text) override {
        Scalar v{Scalar::Kind::string};
        v.s = &text;
        return scalar(v);
    }
    bool binary(binary_t&) override { return scalar(Scalar{Scalar::Kind::other}); }

    bool start_object(std::size_t) override {
        Level next = Level::other;
        switch (here()) {
            case Level::none:
                next = Level::root;
                break;
            case Level::root:
                if (key_ == RootKey::version) {
                    version_ = VersionValue{};
                    version_.present = true;
                    next = Level::version;
                } else if (key_ == RootKey::files) {
                    files_ = FilesValue{};  // an object is not a list: no files
                }
                break;
            case Level::version:
                version_field_wrong();
                break;
            case Level::files:
                entry_ = EntryFields{};
                next = Level::entry;
                break;
            case Level::entry:
                entry_field_wrong();
                break;
            case Level::other:
                break;
        }
        levels_.push_back(next);
        return true;
    }

    bool end_object() override {
        if (here() == Level::entry)
            finish_entry();
        levels_.pop_back();
        return true;
    }

    bool start_array(std::size_t) override {
        Level next = Level::other;
        switch (here()) {
            case Level::root:
                if (key_ == RootKey::version) {
                    version_ = VersionValue{};
                    version_.present = true;
                    version_.not_object = true;
                } else if (key_ == RootKey::files) {
                    files_ = FilesValue{};
                    files_.is_array = true;
                    next = Level::files;
                }
                break;
            case Level::version:
                version_field_wrong();
                break;
            case Level::files:
                files_.bad_element = true;
                break;
            case Level::entry:
                entry_field_wrong();
                break;
            case Level::none:
            case Level::other:
                break;
        }
        levels_.push_back(next);
        return true;
    }

    bool end_array() override {
        levels_.pop_back();
        return true;
    }

    bool key(string_t& name) override {
        switch (here()) {
            case Level::root:
                key_ = name == "version" ? RootKey::version
                       : name == "files" ? RootKey::files
                                         : RootKey::other;
                break;
            case Level::version:
                version_key_ = name == "major"   ? &version_.major
                               : name == "minor" ? &version_.minor
                               : name == "patch" ? &version_.patch
                                                 : nullptr;
                break;
            case Level::entry:
                entry_key_ = name == "path"         ? EntryKey::path
                             : name == "sha256"     ? EntryKey::sha256
                             : name == "platform"   ? EntryKey::platform
                             : name == "size"       ? EntryKey::size
                             : name == "executable" ? EntryKey::executable
                                                    : EntryKey::other;
                break;
            default:
                break;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    enum class Level { none, root, version, files, entry, other };
    enum class RootKey { version, files, other };
    enum class EntryKey { path, sha256, platform, size, executable, other };

    struct Scalar {
        enum class Kind { boolean, integer, unsigned_integer, floating, string, other } kind;
        bool b = false;
        std::int64_t i = 0;
        std::uint64_t u = 0;
        double d = 0;
        std::string* s = nullptr;
    };

    Level here() const { return levels_.empty() ? Level::none : levels_.back(); }

    bool scalar(const Scalar& v) {
        switch (here()) {
            case Level::root:
                if (key_ == RootKey::version) {
                    version_ = VersionValue{};
                    version_.present = true;
                    version_.not_object = true;
                } else if (key_ == RootKey::files) {
                    files_ = FilesValue{};
                }
                break;
            case Level::version:
                if (version_key_ != nullptr)
                    version_field(v);
                break;
            case Level::files:
                files_.bad_element = true;
                break;
            case Level::entry:
                entry_field(v);
                break;
            case Level::none:
            case Level::other:
                break;
        }
        return true;
    }

    void version_field(const Scalar& v) {
        switch (v.kind) {
            case Scalar::Kind::boolean:
                version_key_->set(v.b ? 1 : 0);
                break;
            case Scalar::Kind::integer:
                version_key_->set(static_cast<int>(v.i));  // integers wrap modulo 2^32
                break;
            case Scalar::Kind::unsigned_integer:
                version_key_->set(static_cast<int>(v.u));
                break;
            case Scalar::Kind::floating:
                version_key_->set(version_from_float(v.d));
                break;
            default:
                version_key_->wrong();
                break;
        }
    }

    void version_field_wrong() {
        if (version_key_ != nullptr)
            version_key_->wrong();
    }

    void entry_field(const Scalar& v) {
        Field<std::string>* text = nullptr;
        switch (entry_key_) {
            case EntryKey::path:
                text = &entry_.path;
                break;
            case EntryKey::sha256:
                text = &entry_.sha256;
                break;
            case EntryKey::platform:
                text = &entry_.platform;
                break;
            case EntryKey::size:
                if (v.kind == Scalar::Kind::integer)
                    entry_.size.set(static_cast<std::uint64_t>(v.i));
                else if (v.kind == Scalar::Kind::unsigned_integer)
                    entry_.size.set(v.u);
                else if (v.kind == Scalar::Kind::floating)
                    entry_.size.set(size_from_float(v.d));
                else
                    entry_.size.wrong();
                return;
            case EntryKey::executable:
                if (v.kind == Scalar::Kind::boolean)
                    entry_.executable.set(v.b);
                else
                    entry_.executable.wrong();
                return;
            case EntryKey::other:
                return;
        }
        if (v.kind == Scalar::Kind::string)
            text->set(std::move(*v.s));
        else
            text->wrong();
    }

    void entry_field_wrong() {
        switch (entry_key_) {
            case EntryKey::path:
                entry_.path.wrong();
                break;
            case EntryKey::sha256:
                entry_.sha256.wrong();
                break;
            case EntryKey::platform:
                entry_.platform.wrong();
                break;
            case EntryKey::size:
                entry_.size.wrong();
                break;
            case EntryKey::executable:
                entry_.executable.wrong();
                break;
            case EntryKey::other:
                break;
        }
    }

    void finish_entry() {
        if (entry_.path.is_wrong() || entry_.sha256.is_wrong() || entry_.platform.is_wrong() ||
            entry_.size.is_wrong() || entry_.executable.is_wrong()) {
            files_.bad_element = true;
            return;
        }
        ManifestEntry entry;
        entry.path = entry_.path.take_or(std::string());
        entry.sha256 = entry_.sha256.take_or(std::string());
        if (entry.path.empty() || entry.sha256.empty())
            return;
        entry.platform = entry_.platform.take_or(std::string());
        entry.size = entry_.size.or_default(0);
        entry.size_given = entry_.size.is_set();
        entry.executable = entry_.executable.or_default(false);
        files_.entries.push_back(std::move(entry));
    }

    std::vector<Level> levels_;
    RootKey key_ = RootKey::other;
    Field<int>* version_key_ = nullptr;
    EntryKey entry_key_ = EntryKey::other;
    VersionValue version_;
    FilesValue files_;
    EntryFields entry_;
};

}  // namespace

bool parse_manifest(const std::string& text, UpdateManifest& out) {
    // The signature covers every byte of the body, so every byte must be read: the library's
    // lexer would take a NUL for the end of its input and ignore whatever follows it.
    if (text.find('\0') != std::string::npos)
        return false;
    try {
        ManifestReader reader;
        if (!json::sax_parse(text, &reader) || !reader.valid())
            return false;
        reader.store(out);
        return true;
    } catch (...) {
        // Allocation failures mean: not a usable manifest.
        return false;
    }
}

bool is_safe_entry_path(const std::string& path) {
    if (path.empty())
        return false;
    // Backslashes and colons never appear in release paths; on Windows they would name another
    // folder, a drive ("C:x") or an alternate data stream.
    if (path.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
        return false;
    if (path.front() == '/')
        return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('/', start);
        const std::string part =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Windows drops trailing dots and blanks from a name, so ". " or "..." would act as
        // "." or ".."; no real file name consists of dots and blanks alone.
        if (part.find_first_not_of(". ") == std::string::npos)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

namespace {

// The devices Windows opens in place of a file of that name, whatever the extension and the
// letter case; COM and LPT take a digit 0 to 9 or a superscript 1, 2 or 3.
bool is_device_name(const std::string& stem) {
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : plain) {
        if (stem == device)
            return true;
    }
    if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0)
        return false;
    const std::string rest = stem.substr(3);
    return (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') || rest == "\xC2\xB9" ||
           rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

}  // namespace

std::string windows_name_problem(const std::string& path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        for (const char c : part) {
            if (static_cast<unsigned char>(c) < 0x20 ||
                std::string_view("<>:\"|?*\\").find(c) != std::string_view::npos)
                return "holds a character Windows does not allow in file names";
        }
        if (!part.empty() && (part.back() == '.' || part.back() == ' '))
            return "ends a name with a dot or a blank, which Windows drops";
        for (std::size_t tilde = part.find('~'); tilde != std::string::npos;
             tilde = part.find('~', tilde + 1)) {
            if (tilde + 1 < part.size() && part[tilde + 1] >= '0' && part[tilde + 1] <= '9')
                return "looks like an 8.3 short name (\"~\" and a digit), which Windows may "
                       "give to another file";
        }
        // The device is named by the part before the first dot, blanks before it ignored.
        std::string stem = part.substr(0, part.find('.'));
        while (!stem.empty() && stem.back() == ' ')
            stem.pop_back();
        if (is_device_name(case_folded(stem)))
            return "uses the Windows device name " + part;
        start = end + 1;
    }
    return {};
}

std::string entry_paths_problem(const std::vector<std::string>& paths) {
    std::unordered_map<std::string, const std::string*> seen;
    seen.reserve(paths.size());
    const std::string lock = case_folded(platform::installation_lock_name);
    for (const std::string& path : paths) {
        std::string key = case_folded(path);
        if (key == "UPDATES" || key.compare(0, 8, "UPDATES/") == 0)
            return path + ": lies in the staging folder updates/, which every check deletes";
        if (key == lock || key.compare(0, lock.size() + 1, lock + "/") == 0)
            return path + ": is the launcher's lock file, which every running launcher holds";
        if (key == "LAUNCHER_VERSION_FLOOR.TXT" || key == "LAUNCHER_VERSION_FLOOR.TXT.TMP")
            return path + ": is the launcher's own record of the versions installed";
        const auto [it, fresh] = seen.emplace(std::move(key), &path);
        if (!fresh)
            return *it->second == path ? path + ": listed more than once"
                                       : path + ": differs only in letter case from " +
                                             *it->second + ", which is the same file on Windows";
    }
    return {};
}

}  // namespace km::updater
