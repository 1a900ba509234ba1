#include "StateDirectory.h"

StateDirectory StateDirectoryUnder(const std::filesystem::path& profile)
{
    StateDirectory dirs;
    dirs.stateDir = profile / kStateDirectoryName;
    dirs.agentDir = dirs.stateDir / "agents" / "main" / "agent";
    dirs.canvasDir = dirs.stateDir / "canvas";
    dirs.credentialsDir = dirs.stateDir / "credentials";
    return dirs;
}
