// The administration site: every page of it, added to the space that the
// HTTP agent serves.
#pragma once

#include "zunder/http.h"

class Proxy;

namespace AdminSite {

// The help pages and images, served from the program's directory. Added
// once at start, without overwriting.
void AddFiles(ZHTTPSpace& space, const ZString& directory);

// The generated pages (welcome, configuration forms, remote systems, status
// and control), built from the stored configuration and added with
// overwrite, so a reload replaces them in place.
void Build(Proxy& proxy, ZHTTPSpace& space);

// The message of the configuration load that follows an accepted form.
inline constexpr const char* kReloadMessage = "Configuration changed, reloaded.";

}  // namespace AdminSite
