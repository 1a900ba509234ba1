#include "StateDirectory.h"

StateDirectory StateDirectoryUnder(const std::filesystem::path& profile)
{
    StateDirectory dirs;
    dirs.stateDir = profile / ".harrowby";
    dirs.agentDir = dirs.stateDir / "agents" / "main" / "agent";
    dirs.canvasDir = dirs.stateDir / "canvas";
    return dirs;
}
