#pragma once
// Binds CNumwellerator in a Numwell library loaded at run time with dlopen (POSIX, Itanium C++
// ABI), for callers that must not link the library. The object is still allocated by the caller
// from Numwell.h; the library's member functions are looked up by their exported names and called
// with the object as `this`.
//
//   NumwellLoader numwell("libNumwell.so.1");
//   alignas(CNumwellerator) unsigned char storage[sizeof(CNumwellerator)];
//   CNumwellerator &sn = numwell.Construct(storage);
//   if (numwell.Initialize(sn)) { numwell.IncreaseSN(sn); ... numwell.Save(sn); }

#include <string>

#include <dlfcn.h>

#include "Numwell.h"

class NumwellLoader {
public:
    explicit NumwellLoader(const char *file)
    {
        m_handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) {
            m_error = Describe(dlerror());
            return;
        }
        const bool bound = Bind(m_construct, "_ZN14CNumwelleratorC1Ev")
                           && Bind(m_copyConstruct, "_ZN14CNumwelleratorC1ERKS_")
                           && Bind(m_assign, "_ZN14CNumwelleratoraSERKS_")
                           && Bind(m_initialize, "_ZN14CNumwellerator10InitializeEv")
                           && Bind(m_increaseSN, "_ZN14CNumwellerator10IncreaseSNEv")
                           && Bind(m_getSN, "_ZN14CNumwellerator5GetSNEv")
                           && Bind(m_getTitle, "_ZN14CNumwellerator8GetTitleEv")
                           && Bind(m_save, "_ZN14CNumwellerator4SaveEv");
        if (!bound) {
            dlclose(m_handle);
            m_handle = nullptr;
        }
    }
    ~NumwellLoader()
    {
        if (m_handle)
            dlclose(m_handle);
    }
    NumwellLoader(const NumwellLoader &) = delete;
    NumwellLoader &operator=(const NumwellLoader &) = delete;

    bool IsLoaded() const { return m_handle != nullptr; }
    const std::string &Error() const { return m_error; }
    void *Handle() const { return m_handle; }

    // Runs the library's default constructor on caller-owned storage of sizeof(CNumwellerator) bytes.
    CNumwellerator &Construct(void *storage) const
    {
        auto *object = static_cast<CNumwellerator *>(storage);
        m_construct(object);
        return *object;
    }
    CNumwellerator &CopyConstruct(void *storage, const CNumwellerator &other) const
    {
        auto *object = static_cast<CNumwellerator *>(storage);
        m_copyConstruct(object, &other);
        return *object;
    }
    CNumwellerator &Assign(CNumwellerator &self, const CNumwellerator &other) const { return *m_assign(&self, &other); }
    int Initialize(CNumwellerator &self) const { return m_initialize(&self); }
    int IncreaseSN(CNumwellerator &self) const { return m_increaseSN(&self); }
    char *GetSN(CNumwellerator &self) const { return m_getSN(&self); }
    char *GetTitle(CNumwellerator &self) const { return m_getTitle(&self); }
    int Save(CNumwellerator &self) const { return m_save(&self); }

private:
    template <typename Function>
    bool Bind(Function &target, const char *symbol)
    {
        dlerror();
        void *address = dlsym(m_handle, symbol);
        if (!address) {
            m_error = "missing " + std::string(symbol);
            return false;
        }
        target = reinterpret_cast<Function>(address);
        return true;
    }
    static std::string Describe(const char *text) { return text ? text : "cannot load the library"; }

    void *m_handle = nullptr;
    std::string m_error;
    void (*m_construct)(CNumwellerator *) = nullptr;
    void (*m_copyConstruct)(CNumwellerator *, const CNumwellerator *) = nullptr;
    CNumwellerator *(*m_assign)(CNumwellerator *, const CNumwellerator *) = nullptr;
    int (*m_initialize)(CNumwellerator *) = nullptr;
    int (*m_increaseSN)(CNumwellerator *) = nullptr;
    char *(*m_getSN)(CNumwellerator *) = nullptr;
    char *(*m_getTitle)(CNumwellerator *) = nullptr;
    int (*m_save)(CNumwellerator *) = nullptr;
};
