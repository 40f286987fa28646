#pragma once
// One cable's two sides stood in for by named pipes: side X's write pipe is "<X>\2" and its read pipe
// "<X>\3", as the driver names them. A relay thread per direction carries each message written into
// one side's write pipe to the other side's read pipe, whole (a bulk transfer), or with a fault.

#include <atomic>
#include <string>
#include <thread>

class PipeCable {
public:
    enum class Fault { None, Dead, DropLastByte };

    explicit PipeCable(const std::string &name);
    ~PipeCable(); // stops and joins the relays
    PipeCable(const PipeCable &) = delete;
    PipeCable &operator=(const PipeCable &) = delete;

    const std::string &SideA() const { return m_sideA; }
    const std::string &SideB() const { return m_sideB; }

    // The fault of the direction A to B (or B to A) from the next message on.
    void SetFault(bool aToB, Fault fault) { (aToB ? m_faultAB : m_faultBA).store(fault); }

private:
    void Relay(void *in, void *out, const std::atomic<Fault> &fault);

    std::string m_sideA, m_sideB;
    std::atomic<Fault> m_faultAB{Fault::None}, m_faultBA{Fault::None};
    void *m_stop; // manual-reset event that ends the relays
    std::thread m_ab, m_ba;
};
