#pragma once
// --password-from-keyring: the account book's password of an account, read from the desktop's
// secret store (the entry the window writes: web host and port, user id). Built in only with
// the window (TALVEX_GUI), because it reads through the same QtKeychain code as the window:
// one way of naming and storing the entry, never a second copy of it.

#include <string>

namespace talvex::cli {

struct Options;

// 0 with the password; otherwise an exit code (kExitUsage) with the reason in error (which
// never holds the password).
int ReadKeyringPassword(const Options& options, std::string& password, std::string& error);

} // namespace talvex::cli
