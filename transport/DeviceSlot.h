// The state record of one box and the context of its service threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "zPLR_host.h"

class CZusb_IO;

namespace zplr::transport {

// DeviceStatus bits; the application sees the whole word.
enum : uint32_t {
    IncomingCall = 0x1,
    OffHook = 0x2,
    InitDone = 0x4,
    PhoneOffHook = 0x8,
    AwaitingReply = 0x10,
    CalledPickedUp = 0x20,
    PlayEnded = 0x40,
    ConnectTried = 0x80,
    Reconnecting = 0x100,
    Closed = 0x200,
    LinkEvent = 0x8000,
    BusyTone = 0x20000,
    Report3Seen = 0x40000,
    Report6Seen = 0x80000,
    PhonePickedUp = 0x100000,
    PickUpMode1 = 0x200000,
    PickUpMode2 = 0x400000,
};

// AlarmFlags bits.
enum : uint32_t {
    AlarmConnectionLost = 0x1,
    AlarmRecordingOpen = 0x2,
    // A recording broke on a pipe failure: AlarmRecordingOpen stays up until
    // the loss behind it has passed in silence, then both are lowered.
    AlarmRecordingBroken = 0x4,
};

constexpr int PacketSize = 64;
constexpr int RingSize = 30;
constexpr int PathSize = 256;
constexpr int SlotCount = 4;

// The key under which the box keeps its identity records.
constexpr char BoxKey[] = "Kp4%Wz8&Nq1^Xv6+";

struct PipeThreadCtx {
    std::atomic<uint8_t> Run{0};
    platform::Thread Thread;
    CZusb_IO *Owner = nullptr;  // under the slot's EchoLock
    std::atomic<uint8_t *> Data{nullptr};
    std::atomic<uint32_t> Length{0};
    char PipeName[20] = {};
    std::atomic<uint8_t> StartRecord{0};
    std::atomic<uint8_t> WritePending{0};
    char FilePath[1024] = {};
    std::atomic<uint8_t> StartPlay{0};
    std::atomic<uint8_t> PlayDone{0};
    std::atomic<uint8_t> PlayStop{0};
};

struct DeviceSlot {
    int Index = 0;  // 0..3; 4 is the slot of every index that has no box class

    // Not reachable until a session has opened the box.
    std::atomic<uint32_t> DeviceStatus{Closed};
    std::atomic<uint8_t> AlarmThreadAlive{0};
    std::atomic<uint8_t> ReportThreadAlive{0};
    std::atomic<uint8_t> CommandThreadAlive{0};
    std::atomic<uint8_t> SoundInThreadAlive{0};
    std::atomic<uint8_t> SoundOutThreadAlive{0};
    std::atomic<uint32_t> AlarmFlags{0};
    std::atomic<int32_t> OpenPipeCount{0};
    std::atomic<uint8_t> ReportPipeListening{0};
    std::atomic<uint8_t> CommandPipeReopen{0};
    std::atomic<uint8_t> SoundInPipeReopen{0};
    std::atomic<uint8_t> SoundOutPipeReopen{0};
    std::atomic<uint8_t> SoundInPauseRequest{0};
    std::atomic<uint8_t> SoundInReading{0};
    std::atomic<uint8_t> SoundOutAck{0};
    // A caller-ID acknowledgement for the writer to send; the report thread
    // cannot wait for the channel, as only it reads the replies.
    std::atomic<uint8_t> AckPending{0};
    std::atomic<int32_t> RecordedBytes{0};
    std::atomic<uint8_t> RecordToPC{0};
    std::atomic<uint8_t> RecordFinished{0};
    std::atomic<uint8_t> RecordActive{0};
    std::atomic<uint8_t> PlayActive{0};
    std::atomic<uint8_t> PcRecBufAFull{0};
    std::atomic<uint8_t> PcRecBufBFull{0};
    std::atomic<uint8_t> PlayFromFile{0};
    std::atomic<uint8_t> PlaySeekRequest{0};
    std::atomic<uint8_t> PcPlayDataReady{0};
    std::atomic<uint8_t> PlayStatusArg2{0};
    std::atomic<uint8_t> PlayStatusArg3{0};
    std::atomic<uint8_t> DtmfReadIndex{0};
    std::atomic<uint8_t> DtmfWriteIndex{0};
    std::atomic<uint16_t> Tone450ReadIndex{0};
    std::atomic<uint16_t> Tone450WriteIndex{0};
    std::atomic<int32_t> DialPara1{0};
    std::atomic<int32_t> DialPara2{0};
    std::atomic<int32_t> DialPara3{0};
    std::atomic<int32_t> ModifyIdResult{0};
    std::atomic<int32_t> PlayError{0};
    // Recording: the cycle ended on a pipe or stream-start failure; a stop
    // (or close) asks the cycle to end, also before the first PC-side read.
    std::atomic<uint8_t> RecordBroken{0};
    std::atomic<uint8_t> RecordStop{0};
    // PC-side recording: which buffer the reader takes next, the length it
    // asked for, and what each chunk buffer holds.
    std::atomic<uint8_t> PcRecNextBufA{0};
    std::atomic<int32_t> PcRecChunkRequest{0};
    std::atomic<uint16_t> PcRecBufALength{0};
    std::atomic<uint16_t> PcRecBufBLength{0};
    uint8_t PcRecBufA[528] = {};
    uint8_t PcRecBufB[528] = {};
    std::atomic<int> WaitTicks{0};
    std::atomic<uint32_t> LossCount{0};  // connection losses seen by the report thread
    std::atomic<uint32_t> SessionNumber{0};  // counts starts and ends of the slot's session

    // Every hand-over gets a number, and the connection it went out on (the
    // LossCount then): a reply is credited only to the packet outstanding on
    // the connection it came in on, once its write has begun, and never to a
    // packet whose write failed.
    std::atomic<uint32_t> PacketCount{0};       // hand-overs so far; packets are 1, 2, ...
    std::atomic<uint64_t> Outstanding{0};       // number << 32 | connection of the last hand-over
    std::atomic<uint32_t> WritingPacket{0};     // number of the packet in CommandBuffer
    std::atomic<uint32_t> SendingPacket{0};     // last packet whose write has begun
    std::atomic<uint32_t> RepliedPacket{0};     // last packet a report answered
    std::atomic<uint32_t> FailedPacket{0};      // last packet whose write failed
    std::atomic<uint32_t> AbandonedPacket{0};   // last packet a hand-over stopped waiting for
    std::atomic<uint8_t> OutstandingCode{0};    // command code of the last hand-over

    // Playbacks are numbered by their starts; the number of the one whose
    // switch-off awaits the box's end report, 0 when none does. An end
    // report that comes after the next start belongs to the earlier one.
    std::atomic<uint32_t> PlayEpoch{0};
    std::atomic<uint32_t> EndOwedEpoch{0};

    // Reply fields: written by the report thread before it clears
    // AwaitingReply, read by the waiting operation after it saw the clear.
    uint8_t CallerIdRecord[129] = {};
    std::atomic<uint8_t> DtmfRing[RingSize] = {};
    std::atomic<uint16_t> Tone450Ring[RingSize] = {};
    uint8_t FskOeData[65] = {};
    uint8_t InfoReply[65] = {};
    uint8_t SumReply[51] = {};
    std::atomic<uint32_t> DiFlags{0};
    std::atomic<uint8_t> FlashWriteResult{0};
    std::atomic<uint16_t> Adc01Value{0};

    uint16_t CipherEncSubkeys[7][10] = {};
    uint16_t CipherDecSubkeys[7][10] = {};
    uint16_t ClientEncSubkeys[7][10] = {};

    uint8_t CommandBuffer[PacketSize] = {};
    // The writer copies the packet out under this lock, so that a hand-over
    // that no longer waits for it (its reply can no longer come, or two
    // application threads share the slot) never overwrites it mid-copy.
    std::mutex CommandLock;

    // Playback: the file being played and the PC-side play chunk. The
    // chunk is handed over by PcPlayDataReady; PcPlayChunkLength is the
    // length of the chunk in PcPlayBuf, PcPlayLength that of the whole write.
    std::atomic<uint64_t> PlayFileLength{0};
    std::atomic<uint64_t> PlayPosition{0};
    std::atomic<int32_t> PlayStartPermille{0};
    std::atomic<int32_t> PcPlayLength{0};
    std::atomic<int32_t> PcPlayChunkLength{0};
    uint8_t PcPlayBuf[528] = {};
    // Keeps a start's path apart from the thread's copy of it, and a start's
    // look at StartPlay apart from the two last steps of a cycle.
    std::mutex PlayLock;

    PipeThreadCtx AlarmCtx, ReportPipeCtx, CommandPipeCtx, SoundInPipeCtx, SoundOutPipeCtx;

    // Keeps key-code pushes of the report and sound-in threads apart, and a
    // caller-ID store apart from a reader of the record.
    std::mutex RingLock;

    // The report thread's pipe, published so that shut-down can cancel its
    // blocked read; guarded by HandleLock against a concurrent close.
    std::mutex HandleLock;
    ZlHandle ReportPipe = ZL_INVALID_HANDLE;
    // Pipe 2 while a recording cycle runs, so that a stop can end a read the
    // box never completes.
    ZlHandle SoundInPipe = ZL_INVALID_HANDLE;

    // Waits of this slot sleep here; every flag change that a wait may test
    // notifies it, and wakes the waits whose condition it made true.
    platform::WaitGate Gate;

    // Serialises session start and end on this slot.
    std::mutex SessionLock;

    // Device records: a test echo may come in late, while the echo test
    // copies the previous one out; this keeps the two copies apart. It also
    // guards the contexts' Owner, which an object's destructor clears, so
    // that no echo is written into an object after its end.
    std::mutex EchoLock;
    uint8_t EchoBuffer[PacketSize] = {};  // the last echo, whoever owns the session

    // A store that changed nothing wakes nobody.
    void Set(uint32_t bits)
    {
        if ((DeviceStatus.fetch_or(bits, std::memory_order_acq_rel) & bits) != bits)
            Gate.Notify();
    }
    void Clear(uint32_t bits)
    {
        if (DeviceStatus.fetch_and(~bits, std::memory_order_acq_rel) & bits)
            Gate.Notify();
    }
    bool Has(uint32_t bits) const { return (DeviceStatus.load(std::memory_order_acquire) & bits) != 0; }
    template <class T, class V> void Put(std::atomic<T> &field, V value)
    {
        if (field.exchange(static_cast<T>(value), std::memory_order_acq_rel) != static_cast<T>(value))
            Gate.Notify();
    }
};

// The slot of a device index. Indices outside 0..3 share one slot that never
// finds a box.
DeviceSlot &SlotFor(int deviceIndex);

// Interface class of the slot's box; null for the slot without a class.
const ZlGuid *InterfaceClass(const DeviceSlot &slot);

}  // namespace zplr::transport
