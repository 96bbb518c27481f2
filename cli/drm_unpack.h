#pragma once
// talvex-cli drm-unpack: the original bytes of a packaged media file, for the seed's holder.

namespace talvex::cli {

// argv: the arguments after "drm-unpack". Exit codes: 0 restored, 1 refused (not a packaged
// file, bad signature, wrong seed, damaged payload, output not writable), 2 usage.
int RunDrmUnpack(int argc, char** argv);

} // namespace talvex::cli
