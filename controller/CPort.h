// Serial port component over POSIX termios. One background event thread per
// open port waits for line events and hands each set of them to the
// user-interface thread; it hands over nothing new until the handlers of the
// last set have run there.
//
// Platform notes:
// - Speeds are the standard termios ones; 14400, 56000, 128000 and 256000
//   bit/s, 1.5 stop bits, DSR flow, DTR handshake, RTS toggle, dropping zero
//   bytes and a non-zero parity replacement character cannot be expressed and
//   fail with code 7, as does a framing the device does not take (a
//   pseudo-terminal always frames 8 bits without parity).
// - Received bytes are announced once per arrival: bytes left unread by the
//   handlers are announced again (with the full count) only when new ones come.
// - evRxFlag is never raised (termios has no event character).
// - A device that hangs up is reported once as an evError with ceIO; the
//   event thread then ends and later writes fail with code 2.
// - All operations belong to the user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

enum TBaudRate : int {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits : int { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits : int { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits : int { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

// A small set of enumeration values.
template <typename E>
class TEnumSet {
  public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> items) {
        for (E e : items) Include(e);
    }
    static constexpr TEnumSet FromBits(std::uint32_t bits) {
        TEnumSet s;
        s.FBits = bits;
        return s;
    }
    constexpr bool Contains(E e) const { return (FBits >> static_cast<unsigned>(e)) & 1u; }
    constexpr void Include(E e) { FBits |= 1u << static_cast<unsigned>(e); }
    constexpr void Exclude(E e) { FBits &= ~(1u << static_cast<unsigned>(e)); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr std::uint32_t Bits() const { return FBits; }
    constexpr bool operator==(const TEnumSet&) const = default;

  private:
    std::uint32_t FBits = 0;
};
using TComEvents = TEnumSet<TComEvent>;
using TComErrors = TEnumSet<TComError>;
inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

struct TComParity {
    TParityBits Bits = prNone;
    bool Check = false;
    bool Replace = false;
    char ReplaceChar = 0;
    bool operator==(const TComParity&) const = default;
};

struct TComFlowControl {
    bool OutCTSFlow = false;
    bool OutDSRFlow = false;
    TDTRFlowControl ControlDTR = dtrDisable;
    TRTSFlowControl ControlRTS = rtsDisable;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    bool DSRSensitivity = false;
    bool TxContinueOnXoff = false;
    char XonChar = 17;
    char XoffChar = 19;
    TFlowControl FlowControl() const;
    bool operator==(const TComFlowControl&) const = default;
};

struct TComTimeouts {
    int ReadInterval = -1;
    int ReadTotalMultiplier = 0;
    int ReadTotalConstant = 0;
    int WriteTotalMultiplier = 100;
    int WriteTotalConstant = 1000;
    bool operator==(const TComTimeouts&) const = default;
};

struct TComBuffer {
    int InputSize = 1024;
    int OutputSize = 1024;
    bool operator==(const TComBuffer&) const = default;
};

// Failure of the serial layer: ErrorCode 1..23 and the errno (or -1).
class EComPort : public std::runtime_error {
  public:
    EComPort(int errorCode, int systemError = -1, std::string device = {});
    int ErrorCode() const { return FErrorCode; }
    int SystemError() const { return FSystemError; }
    // The device the failure is about, when known.
    const std::string& Device() const { return FDevice; }
    // The device and the system's own words ("/dev/ttyUSB0: Permission
    // denied"); empty unless both are known.
    std::string Reason() const;
    static std::string CodeText(int errorCode);

  private:
    int FErrorCode;
    int FSystemError;
    std::string FDevice;
};

// Maps a port name ("COM3") to a device path. The program installs one at
// start-up that reads the setting of that name; the default maps "COMn" to
// "/dev/ttyS<n-1>". Installing an empty function restores the default. A port
// named by an absolute path ("/dev/ttyUSB0") is that device, whatever the
// resolver says.
using TComDeviceResolver = std::function<std::string(const std::string& port)>;
void SetComDeviceResolver(TComDeviceResolver resolver);
std::string ResolveComDevice(const std::string& port);

// The serial devices present, for a port list: the stable names under
// /dev/serial/by-id first, then ttyUSB*, ttyACM* and the ttyS* ports that have
// a UART behind them (the kernel makes ttyS nodes for ports that are not
// there), each group in natural order (ttyUSB2 before ttyUSB10). root replaces
// "/" (for tests).
std::vector<std::string> ListSerialDevices(const std::string& root = "/");

// What the operator can do about a port that could not be opened, from the
// failure's system error: join the device's group (with the command), free the
// port, or pick another one. Empty when there is no advice.
std::string ComPortAdvice(const EComPort& failure);
// The default mapping: "COMn" (n >= 1) to "/dev/ttyS<n-1>", anything else to "".
std::string DefaultComDevice(const std::string& port);

class TCustomComPort {
  public:
    using TNotifyEvent = std::function<void(TCustomComPort& sender)>;
    using TRxCharEvent = std::function<void(TCustomComPort& sender, int count)>;
    using TComErrorEvent = std::function<void(TCustomComPort& sender, TComErrors errors)>;
    using TComSignalEvent = std::function<void(TCustomComPort& sender, bool onOff)>;

    // Must be created on the user-interface thread: deliveries go to the thread
    // that created the port.
    TCustomComPort();
    virtual ~TCustomComPort();  // closes the port
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    bool Connected() const;
    void SetConnected(bool on);
    const std::string& Port() const;
    void SetPort(const std::string& name);
    TBaudRate BaudRate() const;
    void SetBaudRate(TBaudRate rate);
    std::uint32_t CustomBaudRate() const;
    void SetCustomBaudRate(std::uint32_t rate);
    TDataBits DataBits() const;
    void SetDataBits(TDataBits bits);
    TStopBits StopBits() const;
    void SetStopBits(TStopBits bits);
    const TComParity& Parity() const;
    void SetParity(const TComParity& parity);
    const TComFlowControl& FlowControl() const;
    void SetFlowControl(const TComFlowControl& flow);
    const TComTimeouts& Timeouts() const;
    void SetTimeouts(const TComTimeouts& timeouts);
    const TComBuffer& Buffer() const;
    void SetBuffer(const TComBuffer& buffer);
    TComEvents Events() const;
    void SetEvents(TComEvents events);
    bool DiscardNull() const;
    void SetDiscardNull(bool on);
    char EventChar() const;
    void SetEventChar(char c);
    TSyncMethod SyncMethod() const;
    void SetSyncMethod(TSyncMethod method);

    void OpenPort();
    void ClosePort();
    int WriteText(const std::string& bytes);
    int ReadText(std::string& text, int count);
    int BytesWaiting();
    void SetRtsLine(bool on);
    TComErrors ReadLineErrors();

    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TNotifyEvent OnTxEmpty;
    TComErrorEvent OnError;
    TNotifyEvent OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;

  protected:
    // Hooks, called on the user-interface thread.
    virtual void HandleRxChar(int count);
    virtual void HandleLineError(TComErrors errors);
    virtual void HandleAfterOpen();

  private:
    struct Impl;
    struct Hub;
    struct HandOverEvent;
    struct Receiver;
    // Push the stored settings to the open device; nothing while closed.
    void ApplyLineSettings();
    void ApplyTimeoutSettings();
    void ApplyBufferSizes();
    // Runs the handlers of one event set on the user-interface thread; stops
    // early once the port has been closed or destroyed by a handler.
    void DeliverEvents(TComEvents events, const Hub& hub);
    // Carries out a queued hand-over of the event thread (generation gen).
    static void RunHandOver(const std::shared_ptr<Hub>& hub, std::uint64_t gen);
    void StopEventThread();
    bool ReadModemLine(int bit);

    std::unique_ptr<Impl> FImpl;
};
