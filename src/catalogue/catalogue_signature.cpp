#include "catalogue/catalogue_signature.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/files.h"
#include "app/hex.h"

namespace sovra {
namespace {

namespace fs = std::filesystem;

#ifndef SOVRA_GPGV_PATH
#define SOVRA_GPGV_PATH "/usr/bin/gpgv"
#endif

constexpr std::size_t kKeyFileMaxBytes = 1024 * 1024;
constexpr std::size_t kSignatureMaxBytes = 64 * 1024;
// gpgv says a few hundred bytes per signature; more is not gpgv.
constexpr std::size_t kStatusMaxBytes = 64 * 1024;

bool IsAbsolute(const std::optional<std::string>& path) {
    return path && !path->empty() && path->front() == '/';
}

std::string TrustedKeysIn(const std::string& base) {
    return base + "/" + kCatalogueFolderName + "/trusted-keys";
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Appends the base64 `line` to `out`; false when it is not base64.
bool DecodeBase64Line(std::string_view line, std::vector<std::uint8_t>& out) {
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (const char c : line) {
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding > 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> count));
            bits &= (1u << count) - 1u;
        }
    }
    return padding <= 2;
}

std::string_view Trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.remove_suffix(1);
    }
    return line;
}

// Status texts escape what is not printable as %XX.
std::string Unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = HexDigitValue(text[i + 1]);
            const int lo = HexDigitValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::string_view> Words(std::string_view line, std::size_t max) {
    std::vector<std::string_view> words;
    while (!line.empty() && words.size() < max) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        line.remove_prefix(start);
        // The last word takes the rest of the line: a user id has spaces.
        const std::size_t end = words.size() + 1 == max ? line.size() : line.find(' ');
        words.push_back(line.substr(0, end));
        line.remove_prefix(std::min(end, line.size()));
    }
    return words;
}

// A temporary folder removed with everything in it when the object goes.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::error_code ec;
        std::string tmpl = (fs::temp_directory_path(ec) / "sovra-gpgv-XXXXXX").string();
        if (ec || mkdtemp(tmpl.data()) == nullptr) {
            tmpl = "/tmp/sovra-gpgv-XXXXXX";
            if (mkdtemp(tmpl.data()) == nullptr) {
                return;
            }
        }
        path_ = tmpl;
    }
    ~TemporaryFolder() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// Into the private temporary folder: nothing to sync, since nothing outlives
// the check.
bool WriteScratch(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

SignatureCheck NotChecked(std::string why) {
    SignatureCheck check;
    check.state = SignatureState::kNotChecked;
    check.detail = std::move(why);
    return check;
}

// Reads the child's status until it closes it or the time is up; false on
// time-out or too much output.
bool ReadStatus(int fd, int timeoutMs, std::string& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::array<char, 4096> buffer{};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        status.append(buffer.data(), static_cast<std::size_t>(n));
        if (status.size() > kStatusMaxBytes) {
            return false;
        }
    }
}

}  // namespace

std::vector<std::string> TrustedKeyFolders(const CatalogueSearchEnvironment& env) {
    std::vector<std::string> folders{"/etc/" + std::string(kCatalogueFolderName) + "/trusted-keys"};
    for (const std::string& dir : env.DataDirs()) {
        folders.push_back(TrustedKeysIn(dir));
    }
    if (IsAbsolute(env.xdgConfigHome)) {
        folders.push_back(TrustedKeysIn(*env.xdgConfigHome));
    } else if (IsAbsolute(env.home)) {
        folders.push_back(TrustedKeysIn(*env.home + "/.config"));
    }
    return folders;
}

std::optional<std::vector<std::uint8_t>> DearmorPublicKeys(std::string_view text) {
    constexpr std::string_view kBegin = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
    constexpr std::string_view kEnd = "-----END PGP PUBLIC KEY BLOCK-----";
    enum class In { kOutside, kHeaders, kBody, kChecksum } in = In::kOutside;
    std::vector<std::uint8_t> out;
    bool any = false;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        switch (in) {
            case In::kOutside:
                in = line == kBegin ? In::kHeaders : In::kOutside;
                break;
            case In::kHeaders:
                // "Comment: ..." lines end with an empty one.
                if (line.empty()) {
                    in = In::kBody;
                } else if (line.find(": ") == std::string_view::npos) {
                    return std::nullopt;
                }
                break;
            case In::kBody:
            case In::kChecksum:
                if (line == kEnd) {
                    in = In::kOutside;
                    any = true;
                } else if (in == In::kBody && !line.empty() && line.front() == '=') {
                    in = In::kChecksum;  // the CRC: gpgv checks the packets themselves
                } else if (in == In::kChecksum || !DecodeBase64Line(line, out)) {
                    return std::nullopt;
                }
                break;
        }
    }
    if (!any || in != In::kOutside || out.empty()) {
        return std::nullopt;
    }
    return out;
}

TrustedKeys LoadTrustedKeys(const std::vector<std::string>& folders) {
    TrustedKeys trusted;
    for (const std::string& folder : folders) {
        std::vector<std::string> files;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            files.push_back(it->path().string());
        }
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) {
            std::vector<std::uint8_t> bytes;
            std::string why;
            if (ReadRegularFileWithReason(file, kKeyFileMaxBytes, bytes, why) !=
                ReadFailure::kNone) {
                trusted.skipped.push_back("'" + file + "' cannot be read: " + why + ".");
                continue;
            }
            // A binary key begins with a packet header, whose top bit is set.
            if (!bytes.empty() && (bytes.front() & 0x80u) != 0) {
                trusted.keys.push_back(std::move(bytes));
            } else if (auto keys = DearmorPublicKeys(std::string_view(
                           reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
                trusted.keys.push_back(std::move(*keys));
            } else {
                trusted.skipped.push_back("'" + file + "' holds no OpenPGP public key.");
            }
        }
    }
    return trusted;
}

SignatureCheck ParseGpgvStatus(std::string_view status, int exitCode) {
    constexpr std::string_view kPrefix = "[GNUPG:] ";
    SignatureCheck check;
    std::size_t signatures = 0;
    std::size_t good = 0;
    bool validSeen = false;
    // The worst of several signatures' states counts.
    SignatureState worst = SignatureState::kGood;
    const auto note = [&worst](SignatureState s) {
        if (worst == SignatureState::kGood) {
            worst = s;
        }
    };
    while (!status.empty()) {
        const std::size_t eol = status.find('\n');
        std::string_view line = status.substr(0, eol);
        status.remove_prefix(eol == std::string_view::npos ? status.size() : eol + 1);
        if (line.substr(0, kPrefix.size()) != kPrefix) {
            continue;
        }
        line.remove_prefix(kPrefix.size());
        const std::vector<std::string_view> w = Words(line, 2);
        if (w.empty()) {
            continue;
        }
        const std::string_view keyword = w[0];
        const std::string_view args = w.size() > 1 ? w[1] : std::string_view();
        const std::vector<std::string_view> a = Words(args, 12);
        if (keyword == "NEWSIG") {
            ++signatures;
        } else if (keyword == "GOODSIG" || keyword == "EXPKEYSIG" || keyword == "REVKEYSIG" ||
                   keyword == "EXPSIG") {
            const std::vector<std::string_view> idAndUser = Words(args, 2);
            if (check.fingerprint.empty() && !idAndUser.empty()) {
                check.fingerprint = std::string(idAndUser[0]);
            }
            if (check.userId.empty() && idAndUser.size() > 1) {
                check.userId = Unescaped(idAndUser[1]);
            }
            if (keyword == "GOODSIG") {
                ++good;
            } else {
                note(keyword == "EXPKEYSIG"   ? SignatureState::kExpiredKey
                     : keyword == "REVKEYSIG" ? SignatureState::kRevokedKey
                                              : SignatureState::kExpired);
            }
        } else if (keyword == "VALIDSIG" && !a.empty()) {
            // The primary key's fingerprint comes last; older gpgv leave it out.
            const std::vector<std::string_view> v = Words(args, 10);
            check.fingerprint = std::string(v.size() == 10 ? v[9] : v[0]);
            validSeen = true;
        } else if (keyword == "BADSIG" || keyword == "NODATA") {
            note(SignatureState::kBad);
        } else if (keyword == "ERRSIG" || keyword == "NO_PUBKEY") {
            // ERRSIG's sixth field is 9 when the key is not in the keyring.
            const bool noKey = keyword == "NO_PUBKEY" || (a.size() >= 6 && a[5] == "9");
            if (check.fingerprint.empty() && !a.empty()) {
                check.fingerprint = std::string(a.size() >= 7 && a[6] != "-" ? a[6] : a[0]);
            }
            note(noKey ? SignatureState::kUnknownKey : SignatureState::kBad);
        }
    }
    if (worst != SignatureState::kGood) {
        check.state = worst;
    } else if (signatures == 0) {
        check.state = SignatureState::kBad;  // the file holds no signature
    } else if (exitCode != 0 || good != signatures || !validSeen) {
        check.state = SignatureState::kBad;
    } else {
        check.state = SignatureState::kGood;
    }
    if (check.state != SignatureState::kGood && check.state != SignatureState::kExpiredKey &&
        check.state != SignatureState::kRevokedKey && check.state != SignatureState::kUnknownKey) {
        check.fingerprint.clear();
        check.userId.clear();
    }
    return check;
}

SignatureCheck RunGpgv(const std::vector<std::vector<std::uint8_t>>& keys,
                       const std::vector<std::uint8_t>& signature,
                       const std::vector<std::uint8_t>& data, int timeoutMs) {
    const TemporaryFolder folder;
    if (folder.Path().empty()) {
        return NotChecked(std::string("no temporary folder: ") + std::strerror(errno));
    }
    const std::string home = folder.Path() + "/home";
    const std::string keyring = folder.Path() + "/trusted.gpg";
    const std::string sigPath = folder.Path() + "/catalogue.sig";
    const std::string dataPath = folder.Path() + "/catalogue.xml";
    std::vector<std::uint8_t> ring;
    for (const auto& key : keys) {
        ring.insert(ring.end(), key.begin(), key.end());
    }
    if (::mkdir(home.c_str(), 0700) != 0 || !WriteScratch(keyring, ring) ||
        !WriteScratch(sigPath, signature) || !WriteScratch(dataPath, data)) {
        return NotChecked(std::string("cannot prepare the check: ") + std::strerror(errno));
    }

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return NotChecked(std::string("no pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
    std::vector<std::string> args{SOVRA_GPGV_PATH, "--homedir", home,    "--keyring", keyring,
                                  "--status-fd",   "3",         sigPath, dataPath};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    char* noEnvironment[] = {nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, SOVRA_GPGV_PATH, &actions, nullptr, argv.data(), noEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return NotChecked(std::string(SOVRA_GPGV_PATH " cannot be run: ") + std::strerror(spawned));
    }
    std::string status;
    const bool answered = ReadStatus(pipeFds[0], timeoutMs, status);
    ::close(pipeFds[0]);
    if (!answered) {
        ::kill(pid, SIGKILL);
    }
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!answered) {
        return NotChecked("gpgv did not answer in time");
    }
    if (!WIFEXITED(wstatus)) {
        return NotChecked("gpgv ended abnormally");
    }
    // gpgv exits 2 when the keyring cannot be used or a key is missing; the
    // status lines tell which.
    return ParseGpgvStatus(status, WEXITSTATUS(wstatus));
}

SignatureCheck CheckCatalogueSignature(const FirmwareCatalogue& catalogue) {
    return CheckCatalogueSignature(catalogue, CatalogueSearchEnvironment::FromProcess());
}

SignatureCheck CheckCatalogueSignature(const FirmwareCatalogue& catalogue,
                                       const CatalogueSearchEnvironment& env) {
    const TrustedKeys trusted = LoadTrustedKeys(TrustedKeyFolders(env));
    if (trusted.keys.empty()) {
        return {};
    }
    std::vector<std::uint8_t> signature;
    bool found = false;
    for (const char* ending : {".sig", ".asc"}) {
        const std::string path = catalogue.Path() + ending;
        std::string why;
        const ReadFailure failure =
            catalogue.Path().empty()
                ? ReadFailure::kOpen
                : ReadRegularFileWithReason(path, kSignatureMaxBytes, signature, why);
        if (failure != ReadFailure::kOpen) {
            found = true;
            if (failure != ReadFailure::kNone) {
                SignatureCheck bad;
                bad.state = SignatureState::kBad;
                return bad;
            }
            break;
        }
    }
    if (!found) {
        SignatureCheck missing;
        missing.state = SignatureState::kMissing;
        return missing;
    }
    return RunGpgv(trusted.keys, signature, catalogue.Bytes());
}

std::string SignatureRefusal(const SignatureCheck& check) {
    const std::string key = check.fingerprint.empty() ? std::string() : " " + check.fingerprint;
    switch (check.state) {
        case SignatureState::kUnchecked:
        case SignatureState::kGood:
            return {};
        case SignatureState::kMissing:
            return "The catalogue is not signed, and only a catalogue signed with a trusted key "
                   "is accepted.";
        case SignatureState::kBad:
            return "The catalogue's signature is bad: the catalogue was changed after it was "
                   "signed, or the signature is damaged.";
        case SignatureState::kUnknownKey:
            return "The catalogue is signed with key" + key + ", which is not a trusted key.";
        case SignatureState::kExpiredKey:
            return "The catalogue is signed with key" + key + ", which has expired.";
        case SignatureState::kRevokedKey:
            return "The catalogue is signed with key" + key + ", which has been revoked.";
        case SignatureState::kExpired:
            return "The catalogue's signature has expired.";
        case SignatureState::kNotChecked:
            return "The catalogue's signature could not be checked (" + check.detail + ").";
    }
    return {};
}

std::string UnpinnedRefusal(const SignatureCheck& check, const FirmwareEntry& entry,
                            std::string_view shownAs) {
    if (check.state == SignatureState::kUnchecked || entry.sha256) {
        return {};
    }
    return "The catalogue entry of " + std::string(shownAs) +
           " gives no SHA256, so the catalogue's signature does not cover the file.";
}

std::string_view SignatureStateName(SignatureState state) {
    switch (state) {
        case SignatureState::kUnchecked:
            return "unsigned";
        case SignatureState::kGood:
            return "good";
        case SignatureState::kMissing:
            return "missing";
        case SignatureState::kBad:
            return "bad";
        case SignatureState::kUnknownKey:
            return "unknown-key";
        case SignatureState::kExpiredKey:
            return "expired-key";
        case SignatureState::kRevokedKey:
            return "revoked-key";
        case SignatureState::kExpired:
            return "expired";
        case SignatureState::kNotChecked:
            return "not-checked";
    }
    return "unknown";
}

}  // namespace sovra
