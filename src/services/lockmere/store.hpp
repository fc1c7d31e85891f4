// The credential store: names shared by its files and the method bodies they define.
#pragma once

#include "runtime/files.hpp"
#include "runtime/lock.hpp"
#include "runtime/os.hpp"
#include "runtime/function.hpp"

namespace lockmere {

using rt::Call;
using rt::Handle;
using rt::Name;
using rt::Ref;

inline constexpr const char* module_name = "zantor.kestrow.services.lockmere";

// Module globals, looked up by name at each use.
inline const Name g_json{"json"}, g_stat{"stat"}, g_Path{"Path"}, g_CONFIG_DIR{"CONFIG_DIR"},
    g_InvalidCollectOptionError{"InvalidCollectOptionError"}, g_KestrowDependencyError{"KestrowDependencyError"},
    g_keyring{"keyring"}, g_KEYRING_AVAILABLE{"_KEYRING_AVAILABLE"}, g_KEYRING_SERVICE{"_KEYRING_SERVICE"};

// Instance attributes.
inline const Name a_base_dir{"base_dir"}, a_meta_path{"meta_path"};

// Methods that the bodies call through `self`, by name.
inline const Name n__load_accounts{"_load_accounts"}, n__save_accounts{"_save_accounts"},
    n__validate_name{"_validate_name"}, n__keyring_account{"_keyring_account"},
    n__require_keyring{"_require_keyring"}, n__set_password{"_set_password"}, n__get_password{"_get_password"},
    n__delete_password{"_delete_password"};

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
