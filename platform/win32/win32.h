// The Windows build's own additions behind platform/wince.h: what desktop Windows
// lacks (the property database calls, databases.cpp) and the wide entry (entry.cpp)
// that calls the installer's WinMain.
//
// The device image is the current drive: the program runs with the image's folder as
// the root of its current drive, so the platform path \storage\mxip_lang.vol is the
// image's storage\mxip_lang.vol and the mount table is \.ceimage\mounts.db. Volumes
// are the same SQLite files the host uses, read and written through the image store
// (store/), so "ceupdate db dump" reads what this program wrote.
#pragma once

// Closes every volume the property database calls opened, so that each store
// checkpoints its log into the volume file. Called once the installer has returned.
void CloseDatabaseVolumes();
