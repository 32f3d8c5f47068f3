#include "reader.h"

namespace {

constexpr std::uint8_t kFrameStart = 0x52;  // "R"
constexpr std::uint8_t kFrameEnd = 0x53;    // "S"
constexpr std::uint8_t kFrameLength = 0x06;
constexpr std::uint32_t kRxGapMs = 200;

constexpr std::uint8_t kReplyAck = 0xFE;
constexpr std::uint8_t kReplyCardCode = 0xFF;

using namespace rfid;

bool IsAcceptedAckCode(std::uint8_t code) {
    switch (code) {
        case 0:
        case 16:
        case 32:
        case 64:
        case 128:
        case 255:
            return true;
        default:
            return false;
    }
}

}  // namespace

TRfidReader::TRfidReader()
    : FRxGapTimer(std::make_unique<TSimpleTimer>(
          kRxGapMs, [this](TSimpleTimer& sender) { RxGapElapsed(sender); })),
      FCmdTimer(std::make_unique<TSimpleTimer>(
          1000, [this](TSimpleTimer& sender) { CmdTimerElapsed(sender); })) {
    OnTxEmpty = [this](TCustomComPort& sender) { ReleaseLine(sender); };
}

TRfidReader::~TRfidReader() {
    // Closing here, not in the base destructor, keeps this object whole while a
    // last pending delivery runs through the overridden hooks.
    try {
        ClosePort();
    } catch (...) {
        // A failing device must not stop the timers from being released.
    }
    // Destroying a timer kills its system timer and drops any pending expiry,
    // so no callback can reach this object once it is gone.
    FCmdTimer.reset();
    FRxGapTimer.reset();
}

void TRfidReader::SetupPort() {
    if (Speed > 3) Speed = 0;
    SetPort("COM" + std::to_string(PortNo));
    SetBaudRate(br19200);
}

int TRfidReader::CommandTimeoutSeconds(std::uint8_t command, std::uint8_t parameter) {
    return (command == kCmdAccess && parameter == kParamClear) ? 5 : 1;
}

void TRfidReader::SendCommand(std::uint8_t command, std::uint8_t parameter, std::uint32_t data) {
    SendFrame(command, parameter, data, CommandTimeoutSeconds(command, parameter));
}

void TRfidReader::SendBeep() {
    SendCommand(kCmdBeep, kParamBeep, 0);
}

std::string TRfidReader::BuildFrame(std::uint8_t command, std::uint8_t parameter,
                                    std::uint32_t data) {
    const auto d2 = static_cast<std::uint8_t>((data >> 16) & 0xFF);
    const auto d1 = static_cast<std::uint8_t>((data >> 8) & 0xFF);
    const auto d0 = static_cast<std::uint8_t>(data & 0xFF);
    const auto sum = static_cast<std::uint8_t>(command + parameter + d2 + d1 + d0);
    const std::uint8_t frame[11] = {kFrameStart, kFrameStart, kFrameLength, command,
                                    parameter,   d2,          d1,           d0,
                                    sum,         kFrameEnd,   kFrameEnd};
    return std::string(reinterpret_cast<const char*>(frame), sizeof frame);
}

void TRfidReader::SendFrame(std::uint8_t command, std::uint8_t parameter, std::uint32_t data,
                            int seconds) {
    if (!Connected()) return;
    SetRtsLine(true);
    FAckRx = false;
    FCmdTimer->SetActive(false);
    FCmdTimeout = false;
    // A non-positive time-out gives interval 0, which the timer refuses to run.
    const std::uint32_t ms = seconds > 0 ? static_cast<std::uint32_t>(seconds) * 1000u : 0u;
    FCmdTimer->SetIntervalMs(ms);
    FCmdTimer->SetActive(true);
    for (char byte : BuildFrame(command, parameter, data)) WriteText(std::string(1, byte));
    SetRtsLine(false);
}

void TRfidReader::HandleRxChar(int count) {
    std::string bytes;
    ReadText(bytes, count);
    ParseBytes(bytes);
}

void TRfidReader::ParseBytes(const std::string& bytes) {
    for (char ch : bytes) {
        const auto c = static_cast<std::uint8_t>(ch);
        // Every byte restarts the gap: only a whole quiet interval drops a frame.
        FRxGapTimer->SetIntervalMs(kRxGapMs);
        FRxGapTimer->SetActive(true);
        switch (FRxState) {
            case 0:
                if (c == kFrameStart) {
                    FFrameStart = kFrameStart;
                    FFrameEnd = kFrameEnd;
                    FRxState = 1;
                }
                break;
            case 1:
                if (c == 6 || c == 2) {
                    FRxRemaining = static_cast<std::uint8_t>(c - 1);
                    FRxCount = 0;
                    FRxSum = 0;
                    FRxState = 2;
                } else {
                    ResetReceiver();
                }
                break;
            case 2:
                FRxData[FRxCount] = c;
                ++FRxCount;
                FRxSum = static_cast<std::uint8_t>(FRxSum + c);
                --FRxRemaining;
                if (FRxRemaining == 0) FRxState = 3;
                break;
            case 3:
                if (c == FRxSum)
                    FRxState = 4;
                else
                    ResetReceiver();
                break;
            case 4:
                if (c == FFrameEnd) {
                    FRxGapTimer->SetActive(false);
                    DecodeReply();
                }
                ResetReceiver();
                break;
            default:
                ResetReceiver();
                break;
        }
    }
}

void TRfidReader::DecodeReply() {
    if (FRxCount != 5) return;
    const std::uint8_t d0 = FRxData[0], d1 = FRxData[1];
    const int value = (FRxData[2] << 16) | (FRxData[3] << 8) | FRxData[4];
    if (d0 == kReplyAck) {
        FAckCmd = d1;
        FAckParam = value;
        if (IsAcceptedAckCode(d1)) {
            FAckRx = true;
            if (OnKeyRx) OnKeyRx(PortNo, d0, d1, value);
        }
    } else if (d0 == kReplyCardCode) {
        if (OnCardCode) OnCardCode(PortNo, FFrameStart, d0 * 256 + d1, value);
    } else {
        return;
    }
    if (AutoBeep) SendBeep();
}

void TRfidReader::ResetReceiver() {
    FRxGapTimer->SetActive(false);
    FRxState = 0;
    FRxRemaining = 0;
}

void TRfidReader::HandleLineError(TComErrors errors) {
    TCustomComPort::HandleLineError(errors);
    ResetReceiver();
}

void TRfidReader::HandleAfterOpen() {
    TCustomComPort::HandleAfterOpen();
    ResetReceiver();
}

void TRfidReader::ReleaseLine(TCustomComPort& /*sender*/) {
    SetRtsLine(false);
}

void TRfidReader::RxGapElapsed(TSimpleTimer& /*sender*/) {
    ResetReceiver();
}

void TRfidReader::CmdTimerElapsed(TSimpleTimer& /*sender*/) {
    FCmdTimer->SetActive(false);
    FCmdTimeout = true;
}
