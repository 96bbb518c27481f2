#pragma once
// Diagnostic lines of the development server, on standard error. Never given a password.

namespace talvex::devserver {

void SetServerLogQuiet(bool quiet);
void ServerLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace talvex::devserver
