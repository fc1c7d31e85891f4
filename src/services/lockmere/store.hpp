// The credential store: names shared by its files and the method bodies they define.
#pragma once

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

// What a save or delete is about to rewrite, read strictly: the mapping the file holds, or null
// when there is none (no regular file, or content that is not UTF-8, JSON or an object). A read
// that fails for any other reason (no descriptor or memory left, no permission) raises OSError,
// chained to that failure, so that a passing fault never makes the store look empty to a writer.
Ref read_held_accounts(const Call& c, Handle self);
// Raises OSError unless every account of `held` is in `accounts`, what _load_accounts gave, before
// a save or delete changes them: a file is never rewritten without accounts it holds, and no
// listed account loses its password.
void check_nothing_lost(Handle self, Handle held, Handle accounts);

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

// The store lock, ".accounts.lock" beside the metadata file (metadata.cpp). A save or delete
// holds it exclusively for the whole operation, keyring and file together, so that no other
// save, delete or get sees it half done, in this process or another; a get holds it shared for
// its two reads.
rt::FileLock lock_store(Handle self, rt::FileLock::Mode mode);

}  // namespace lockmere
