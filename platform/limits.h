// The platform's bounds that its interface (wince.h) does not spell out: how long a
// registry name may be, how much data one value holds, how deep keys go, what the
// boot launcher reads, how much wsprintfW writes. The host device enforces them and
// the tools report against them, both from here. (The installer's own buffers are
// its own: regscript.h, langdb.h, control.h.)
#pragma once

enum {
    kRegistryMaxNameLength = 255,  // characters of a key or value name
    kRegistryMaxValueData = 4096,  // bytes of one value's data
    kRegistryMaxDepth = 16,        // levels of keys below a root
    kLaunchMaxEntries = 32,        // "LaunchNN" entries the boot launcher keeps
    kLaunchMaxDependBytes = 64,    // bytes of a "DependNN" list the launcher reads
    kFormatMaxChars = 1023,        // characters wsprintfW writes, terminator aside
};
