// The credential store: names shared by its files and the method bodies they define.
#pragma once

#include <optional>

#include "runtime/files.hpp"
#include "runtime/lock.hpp"
#include "runtime/os.hpp"
#include "runtime/function.hpp"

namespace lockmere {

using rt::Call;
using rt::Handle;
using rt::Ref;
using namespace rt::literals;

inline constexpr const char* module_name = "zantor.kestrow.services.lockmere";

// Module globals, looked up by name at each use.
inline constexpr rt::Id<"json"> g_json;
inline constexpr rt::Id<"stat"> g_stat;
inline constexpr rt::Id<"Path"> g_Path;
inline constexpr rt::Id<"CONFIG_DIR"> g_CONFIG_DIR;
inline constexpr rt::Id<"InvalidCollectOptionError"> g_InvalidCollectOptionError;
inline constexpr rt::Id<"KestrowDependencyError"> g_KestrowDependencyError;
inline constexpr rt::Id<"keyring"> g_keyring;
inline constexpr rt::Id<"_KEYRING_AVAILABLE"> g_KEYRING_AVAILABLE;
inline constexpr rt::Id<"_KEYRING_SERVICE"> g_KEYRING_SERVICE;

// Constructor (module.cpp).
Ref init(Call& c);

// Metadata file (metadata.cpp).
Ref load_accounts(Call& c);
Ref save_accounts(Call& c);

// What the file holds, read once through one descriptor.
struct FileContent {
    Ref accounts;  // the JSON object it holds, or null
    Ref damaged;   // its bytes, when there are some and they are not a JSON object; else null
    Ref read;      // os.fstat of what was opened and read; null when nothing stood there
};
// Forgiving, as _load_accounts reads: a file that cannot be read holds no accounts. Strict, as a
// save or delete reads before it rewrites: only a missing file, a damaged one or anything but a
// regular file holds no accounts, and any other failure raises OSError ("could not be read, so
// nothing was changed"), chained to it, so that a passing fault never makes the store look empty
// to a writer. KeyboardInterrupt and SystemExit pass as they are.
enum class Reading { Forgiving, Strict };
FileContent read_accounts(const Call& c, Handle meta_path, Reading how);

// A save's or delete's view of the store, under its lock: the mapping self._load_accounts gives,
// read strictly once when that is this module's own method; an override's mapping is checked
// against a strict read, and must hold every stored account.
struct StoredAccounts {
    Ref accounts;
    Ref damaged;  // FileContent::damaged of the file as read
    Ref read;     // FileContent::read
};
StoredAccounts load_for_change(const Call& c, Handle self);

// The metadata file rewritten the way _save_accounts writes it: serialised, written beside the
// file and flushed, a damaged file's bytes kept in a copy; commit() is the rename. A copy made for
// a write that is not committed is removed.
class PendingFile {
public:
    // `damaged`: the bytes to keep, as already read; null to read the file for them.
    PendingFile(const Call& c, Handle self, Handle accounts, const Ref* damaged);
    ~PendingFile() noexcept(false);
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    void commit();
    void flush();

private:
    std::optional<rt::Replacement> file_;
    Ref copy_;
    long maker_ = 0;  // the process that made the copy: a forked child never removes it
    bool committed_ = false;
};

// A changed mapping on its way to the file, through self._save_accounts. When that is this
// module's own method, everything up to its commit point happens at construction, so that a save
// finds every failure it can before it touches the keyring; commit() then renames (or calls an
// override) and flush() makes the rename durable. commit() refuses, with OSError, when the file is
// no longer the one the mapping was read from: a call made meanwhile inside this one (an override
// calling back) changed it, and renaming over its work would lose it.
class AccountsUpdate {
public:
    AccountsUpdate(const Call& c, Handle self, const StoredAccounts& stored);
    void commit();
    void flush();

private:
    Ref self_, accounts_, meta_path_, read_;
    std::optional<PendingFile> file_;
};

// Keyring password vault (vault.cpp).
Ref validate_name(Call& c);
Ref keyring_account(Call& c);
Ref require_keyring(Call& c);
Ref set_password(Call& c);
Ref get_password(Call& c);
Ref delete_password(Call& c);

// Account operations (operations.cpp).
Ref save(Call& c);
Ref list(Call& c);
Ref delete_(Call& c);
Ref get(Call& c);

// The store lock, ".accounts.lock" beside the metadata file and its folder (metadata.cpp). A save
// or delete holds it exclusively for the whole operation, keyring and file together, so that no
// other save, delete or get sees it half done, in this process or another; a get holds it shared
// for its two reads.
rt::FileLock lock_store(Handle self, rt::FileLock::Mode mode);

}  // namespace lockmere
