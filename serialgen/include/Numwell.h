#pragma once
// Numwell: serial numbers unique per work station and per day ("%X%s%05d": station digit, date
// "%y%m%d", counter), kept in the machine's settings store. Plain C++; include this header and link
// the library (or bind it at run time, see NumwellLoader.h).
//
// Use: construct, Initialize() once on the thread that owns your windows (it may ask the operator
// for the station number and to confirm the date), then for each unit IncreaseSN(), GetSN(), Save().
// A number is only spent once Save() has returned 1.
//
// The caller allocates the object from this declaration, so the five data members below, in this
// order and with these widths (48 bytes), are part of the library's binary interface.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "NumwellExport.h"

class NUMWELL_API CNumwellerator {
public:
    CNumwellerator();
    CNumwellerator(const CNumwellerator &other);
    CNumwellerator &operator=(const CNumwellerator &other);

    // 1 when numbers may be issued; 0 when the operator cancelled, the settings key cannot be
    // opened, or the system date lies before the last issued one.
    int Initialize();
    // Forms the next number in the object only; always 1.
    int IncreaseSN();
    // The current serial-number text, owned by this object.
    char *GetSN();
    // "Veltrona, StationID: <n>" in a buffer shared by every object in the process.
    char *GetTitle();
    // Stores the counter state; returns 1 only once it is on the disk. On 0 the object keeps its
    // state, so a later Save can still store it.
    int Save();

protected:
    int RealInitialize();

    // Local 2004-01-01 00:00:00 as seconds since 1970 UTC. 32 bits for the layout's sake only: day
    // numbers are computed with 64-bit time.
    std::int32_t m_timeBase;
    std::int32_t m_nStationID; // 0 to 15 once Initialize has succeeded
    std::int32_t m_nLastDate;  // day number (days since m_timeBase) of the current counter run
    std::int32_t m_nLastSN;    // counter of the last number issued on that day
    char m_szSN[32];           // current serial number, zero-terminated

    friend struct CNumwelleratorLayout;
};

// Compile-time guard on the layout, checked in the library and in every caller.
struct CNumwelleratorLayout {
    static_assert(std::is_standard_layout_v<CNumwellerator>);
    static_assert(sizeof(CNumwellerator::m_timeBase) == 4);
    static_assert(offsetof(CNumwellerator, m_timeBase) == 0);
    static_assert(offsetof(CNumwellerator, m_nStationID) == 4);
    static_assert(offsetof(CNumwellerator, m_nLastDate) == 8);
    static_assert(offsetof(CNumwellerator, m_nLastSN) == 12);
    static_assert(offsetof(CNumwellerator, m_szSN) == 16);
    static_assert(sizeof(CNumwellerator) == 48 && alignof(CNumwellerator) == 4);
};
