#pragma once
// The statistics event codes the engine raises itself; the controller's own codes are
// the controller's.
inline constexpr char kEventCorruptPieceFromServer[] = "11500101"; // an HTTP or FTP source's piece failed
inline constexpr char kEventCorruptPieceFromPeer[] = "11500102";   // a BitTorrent peer's piece failed
inline constexpr char kEventHostLookupFailed[] = "11500106";
