// How the device operations reach a running playback.
#pragma once

class CZusb_IO;

namespace zplr::device {

// Stops the playback of the object's box; registered by the sound side.
using PlaybackStopper = void (*)(CZusb_IO &io);
void SetPlaybackStopper(PlaybackStopper stop);
// The registered stopper, or null while no playback side is linked in.
PlaybackStopper RegisteredPlaybackStopper();

}  // namespace zplr::device
