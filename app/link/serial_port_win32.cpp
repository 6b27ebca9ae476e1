// Win32 serial port: the communication calls the clone link was made for.
#include <windows.h>

#include "app/link/serial_port.h"

namespace vm {
namespace {

class Win32SerialPort final : public SerialPort {
public:
    ~Win32SerialPort() override { Close(); }

    bool Open(const std::string& path) override {
        Close();
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
    void Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    bool SetBufferSizes(std::size_t input, std::size_t output) override {
        return SetupComm(handle_, static_cast<DWORD>(input), static_cast<DWORD>(output)) != 0;
    }
    bool SetTimeouts(const CommTimeouts& t) override {
        COMMTIMEOUTS ct{t.read_interval, t.read_total_multiplier, t.read_total_constant,
                        t.write_total_multiplier, t.write_total_constant};
        return SetCommTimeouts(handle_, &ct) != 0;
    }
    bool SetLine(const LineSettings& line) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) return false;
        dcb.BaudRate = line.baud;
        dcb.ByteSize = static_cast<BYTE>(line.data_bits);
        static constexpr BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
                                           SPACEPARITY};
        dcb.Parity = kParity[static_cast<int>(line.parity)];
        static constexpr BYTE kStop[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
        dcb.StopBits = kStop[static_cast<int>(line.stop_bits)];
        dcb.fBinary = line.binary ? TRUE : FALSE;
        dcb.fParity = line.parity_check ? TRUE : FALSE;
        return SetCommState(handle_, &dcb) != 0;
    }
    bool Purge() override { return PurgeComm(handle_, PURGE_TXCLEAR | PURGE_RXCLEAR) != 0; }
    bool Read(std::uint8_t* data, std::size_t n, std::size_t& got) override {
        DWORD done = 0;
        const BOOL ok = ReadFile(handle_, data, static_cast<DWORD>(n), &done, nullptr);
        got = done;
        return ok != 0;
    }
    bool Write(const std::uint8_t* data, std::size_t n, std::size_t& put) override {
        DWORD done = 0;
        const BOOL ok = WriteFile(handle_, data, static_cast<DWORD>(n), &done, nullptr);
        put = done;
        return ok != 0;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<SerialPort> CreateSerialPort() {
    return std::make_unique<Win32SerialPort>();
}

bool CanOpenPort(const std::string& path) {
    Win32SerialPort port;
    return port.Open(path);
}

}  // namespace vm
