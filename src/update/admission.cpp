#include "update/admission.h"

#include "app/files.h"
#include "flash/firmware_file.h"

namespace sovra {
namespace {

// A refusal whose words are a sentence: kept as they are, less the closing
// full stop the writer puts back.
Refusal Refused(Check check, Status code, std::string sentence) {
    if (!sentence.empty() && sentence.back() == '.') {
        sentence.pop_back();
    }
    return {check, Error(code, std::move(sentence))};
}

// With trusted keys installed: a good signature, and a SHA256 in `entry`
// for the signature to cover.
Refusal Trusted(const SignatureCheck& signature, const FirmwareEntry& entry,
                std::string_view shownAs) {
    std::string untrusted = SignatureRefusal(signature);
    if (untrusted.empty()) {
        untrusted = UnpinnedRefusal(signature, entry, shownAs);
    }
    return untrusted.empty() ? Refusal{} : Refused(Check::kCatalogue, E_FAIL, untrusted);
}

Refusal Pinned(const FirmwareEntry& entry, const std::string& shownAs, const Sha256Digest& digest) {
    const std::string failure = PinFailure(entry, shownAs, digest);
    return failure.empty() ? Refusal{} : Refused(Check::kPin, E_FAIL, failure);
}

}  // namespace

Refusal AdmitImage(UpdateMode mode, const std::string& path, bool force, Admitted& out) {
    out.path = path;
    Error error;
    if (mode == UpdateMode::kRestore) {
        FlashCheck check;
        error = LoadFlashDump(path, out.image, check);
        // Its own device is checked by the job, forced or not.
        if (error.Code() == E_IMAGE_BAD_CHECKSUM && force && !out.image.empty()) {
            return {};
        }
    } else {
        FirmwareFile file;
        error = LoadFirmwareFile(path, file);
        out.image = std::move(file.bytes);
    }
    return {error.Failed() ? Check::kFirmwareFile : Check::kNone, error};
}

Refusal AdmitFirmware(const FirmwareCatalogue& catalogue, Admitted& out) {
    out.signature = CheckCatalogueSignature(catalogue);
    if (out.signature.Refused()) {
        return Refused(Check::kCatalogue, E_FAIL, SignatureRefusal(out.signature));
    }
    const Sha256Digest digest = Sha256(out.image);
    bool pinned = false;
    for (const FirmwareChoice& choice : FirmwareChoices(catalogue)) {
        const FirmwareEntry& entry = *choice.entry;
        if (SameFile(entry.path, out.path)) {
            if (Refusal r = Trusted(out.signature, entry, "'" + choice.text + "'")) {
                return r;
            }
            if (Refusal r = Pinned(entry, out.path, digest)) {
                return r;
            }
        }
        pinned = pinned || CheckPinnedDigest(entry, digest) == PinCheck::kMatches;
    }
    if (out.signature.state != SignatureState::kUnchecked && !pinned) {
        return Refused(
            Check::kCatalogue, E_FAIL,
            "'" + out.path + "' is not a firmware file the signed catalogue names by its SHA256");
    }
    return {};
}

Refusal AdmitEntry(const FirmwareCatalogue& catalogue, const FirmwareEntry& entry, Admitted& out) {
    out.signature = CheckCatalogueSignature(catalogue);
    if (Refusal r = Trusted(out.signature, entry, "'" + entry.fileName + "'")) {
        return r;
    }
    if (Refusal r = AdmitImage(UpdateMode::kMerge, entry.path, false, out)) {
        return r;
    }
    return Pinned(entry, entry.path, Sha256(out.image));
}

Refusal AdmitBackupPlace(const BackupPolicy& policy) {
    Error e = CheckBackupPlace(policy);
    if (!e.Failed()) {
        return {};
    }
    return {Check::kBackupPlace, std::move(e).Within("cannot keep a backup")};
}

std::string PinFailure(const FirmwareEntry& entry, const std::string& shownAs,
                       const Sha256Digest& digest) {
    switch (CheckPinnedDigest(entry, digest)) {
        case PinCheck::kNotPinned:
        case PinCheck::kMatches:
            return {};
        case PinCheck::kMismatch:
            return shownAs + " does not match its catalogue entry: the catalogue gives SHA256 " +
                   *entry.sha256 + ", the file's is " + Sha256Hex(digest) + ".";
        case PinCheck::kMalformed:
            return "the catalogue entry of " + shownAs + " gives SHA256 '" + *entry.sha256 +
                   "', which is not 64 hexadecimal digits, so the file cannot be checked.";
    }
    return {};
}

}  // namespace sovra
