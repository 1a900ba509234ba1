#pragma once
#include <filesystem>
#include <string>

#include "manifest/Manifest.h"

bool InstallDownloadedPackage(const ManifestPackage& package, const std::filesystem::path& localPath);
