// Link to the Quillon access controller: 11-byte command frames out, 9-byte
// reply frames parsed byte by byte, the outcome exposed as flags and events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "CPort.h"
#include "SimpleTimer.h"

// Command and parameter codes of the controller's command frames.
namespace rfid {
inline constexpr std::uint8_t kCmdAccess = 0x40;
inline constexpr std::uint8_t kParamCapacity = 0x04;  // read the capacity
inline constexpr std::uint8_t kParamOccupied = 0x08;  // read the number of stored cards
inline constexpr std::uint8_t kParamStore = 0x20;     // store one card
inline constexpr std::uint8_t kParamClear = 0x80;     // clear the access table
inline constexpr std::uint32_t kClearData = 0xFFFFFF;
inline constexpr std::uint8_t kCmdBeep = 0x20;
inline constexpr std::uint8_t kParamBeep = 0x01;
}  // namespace rfid

class TRfidReader : public TCustomComPort {
  public:
    using TCardCodeEvent = std::function<void(int port, int flag, int maker, int code)>;
    using TKeyRxEvent =
        std::function<void(int port, std::uint8_t cmd, std::uint8_t subcmd, int code)>;
    using TBypassEvent = std::function<void(int port, int state)>;
    using TPowerupEvent = std::function<void(int port)>;

    TRfidReader();
    ~TRfidReader() override;  // closes the port, then stops and releases both timers

    TCardCodeEvent OnCardCode;
    TBypassEvent OnBypass;
    TPowerupEvent OnPowerup;
    TKeyRxEvent OnKeyRx;

    // Stored properties.
    bool Enable = false;
    int PortNo = 0;
    int Speed = 0;
    bool Confirm = false;
    int Lock = 0;
    int Mode = 0;
    int Bypass = 0;
    bool AutoBeep = false;
    bool Extended = false;
    std::string Desc;
    int LockTime = 1000;

    // Outcome of the last command.
    bool AckRx() const { return FAckRx; }
    std::uint8_t AckCmd() const { return FAckCmd; }
    int AckParam() const { return FAckParam; }
    bool CmdTimeout() const { return FCmdTimeout; }

    void SetupPort();
    void SendCommand(std::uint8_t command, std::uint8_t parameter, std::uint32_t data);
    // The time-out SendCommand gives a command: 5 s for clearing the table, else 1 s.
    static int CommandTimeoutSeconds(std::uint8_t command, std::uint8_t parameter);
    void SendFrame(std::uint8_t command, std::uint8_t parameter, std::uint32_t data, int seconds);
    void SendBeep();
    void ResetReceiver();

    // The 11 bytes of a command frame.
    static std::string BuildFrame(std::uint8_t command, std::uint8_t parameter, std::uint32_t data);

    // Runs received bytes through the reply parser (what HandleRxChar does with
    // the bytes it reads); public for tests and the fuzzer.
    void ParseBytes(const std::string& bytes);

  protected:
    void HandleRxChar(int count) override;
    void HandleLineError(TComErrors errors) override;
    void HandleAfterOpen() override;

  private:
    void ReleaseLine(TCustomComPort& sender);
    void RxGapElapsed(TSimpleTimer& sender);
    void CmdTimerElapsed(TSimpleTimer& sender);
    void DecodeReply();

    bool FAckRx = false;
    std::uint8_t FAckCmd = 0;
    int FAckParam = 0;
    bool FCmdTimeout = false;

    int FRxState = 0;
    std::uint8_t FRxRemaining = 0;
    std::uint8_t FRxSum = 0;
    std::uint8_t FRxCount = 0;
    std::uint8_t FRxData[5] = {};
    std::uint8_t FFrameStart = 0;
    std::uint8_t FFrameEnd = 0;

    std::unique_ptr<TSimpleTimer> FRxGapTimer;
    std::unique_ptr<TSimpleTimer> FCmdTimer;
};
