// The credential store: names shared by its files and the method bodies they define.
#pragma once

#include "runtime/files.hpp"
#include "runtime/function.hpp"

namespace lockmere {

using rt::Call;
using rt::Name;
using rt::Ref;

inline constexpr const char* module_name = "zantor.kestrow.services.lockmere";

// Module globals, looked up by name at each use.
inline const Name g_json{"json"}, g_stat{"stat"}, g_Path{"Path"}, g_CONFIG_DIR{"CONFIG_DIR"},
    g_InvalidCollectOptionError{"InvalidCollectOptionError"}, g_KestrowDependencyError{"KestrowDependencyError"},
    g_keyring{"keyring"}, g_KEYRING_AVAILABLE{"_KEYRING_AVAILABLE"}, g_KEYRING_SERVICE{"_KEYRING_SERVICE"};

// Instance attributes.
inline const Name a_base_dir{"base_dir"}, a_meta_path{"meta_path"};

// Constructor (module.cpp).
Ref init(Call& c);

// Metadata file (metadata.cpp).
Ref load_accounts(Call& c);
Ref save_accounts(Call& c);

}  // namespace lockmere
