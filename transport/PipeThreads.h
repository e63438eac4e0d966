// The five service threads of a started slot.
#pragma once

#include "transport/DeviceSlot.h"

namespace zplr::transport {

// Driver requests.
constexpr unsigned PipeResetRequest = 0x220008;
constexpr unsigned ReportStartRequest = 0x8000200C;
constexpr unsigned StreamStartRequest = 0x80002010;

// Work of the sound threads once they leave their open cycle; installed by
// the sound subsystem. Without it a start request is only acknowledged.
using StreamWork = void (*)(DeviceSlot &slot, ZlHandle pipe, ZlHandle device);
void SetRecordWork(StreamWork record);
void SetPlayWork(StreamWork play);

// What a service thread is started with: its slot and the number of the
// session it belongs to. Allocated with new; the thread deletes it.
struct ThreadStart {
    DeviceSlot *Slot;
    uint32_t Session;
};

// Thread entries; the argument is a ThreadStart.
void AlarmThread(void *slot);
void ReportThread(void *slot);
void CommandThread(void *slot);
void SoundInThread(void *slot);
void SoundOutThread(void *slot);

// The alarm text for a device index, in code page 936.
void FormatAlarm(int deviceIndex, char (&out)[256]);

// Sends the pipe reset request on `h`, ignoring its result.
void ResetPipe(ZlHandle h);

// Makes the report thread's blocked read return; for shut-down.
void CancelReportRead(DeviceSlot &slot);

}  // namespace zplr::transport
