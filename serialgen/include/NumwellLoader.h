#pragma once
// Binds CNumwellerator in a Numwell library loaded at run time (Itanium C++ ABI, as GCC and
// MinGW-w64 export it), for callers that must not link the library. The object is still allocated by
// the caller from Numwell.h; the library's member functions are looked up by their exported names
// and called with the object as `this`.
//
//   NumwellLoader numwell("libNumwell.so.1");      // dlopen
//   alignas(CNumwellerator) unsigned char storage[sizeof(CNumwellerator)];
//   CNumwellerator &sn = numwell.Construct(storage);
//   if (numwell.Initialize(sn)) { numwell.IncreaseSN(sn); ... numwell.Save(sn); }
//
// BasicNumwellLoader<Library> does the same over another loader: a class with Open(file),
// IsOpen(), Symbol(name), Error() and Close() (define NUMWELL_LOADER_NO_DLFCN where there is no
// <dlfcn.h>, e.g. on Windows, and bring one).

#include <string>

#include "Numwell.h"

template <class Library>
class BasicNumwellLoader {
public:
    explicit BasicNumwellLoader(const char *file)
    {
        if (!m_library.Open(file)) {
            m_error = m_library.Error();
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
        if (!bound)
            m_library.Close();
    }
    BasicNumwellLoader(const BasicNumwellLoader &) = delete;
    BasicNumwellLoader &operator=(const BasicNumwellLoader &) = delete;

    bool IsLoaded() const { return m_library.IsOpen(); }
    const std::string &Error() const { return m_error; }

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
        void *address = m_library.Symbol(symbol);
        if (!address) {
            m_error = "missing " + std::string(symbol);
            return false;
        }
        target = reinterpret_cast<Function>(address);
        return true;
    }

protected:
    Library m_library;

private:
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

#ifndef NUMWELL_LOADER_NO_DLFCN
#include <dlfcn.h>

// The POSIX loader.
class NumwellDlfcnLibrary {
public:
    NumwellDlfcnLibrary() = default;
    ~NumwellDlfcnLibrary() { Close(); }
    NumwellDlfcnLibrary(const NumwellDlfcnLibrary &) = delete;
    NumwellDlfcnLibrary &operator=(const NumwellDlfcnLibrary &) = delete;

    bool Open(const char *file)
    {
        m_handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
        if (!m_handle) {
            const char *text = dlerror();
            m_error = text ? text : "cannot load the library";
        }
        return m_handle != nullptr;
    }
    bool IsOpen() const { return m_handle != nullptr; }
    void *Symbol(const char *name)
    {
        dlerror();
        return dlsym(m_handle, name);
    }
    const std::string &Error() const { return m_error; }
    void Close()
    {
        if (m_handle)
            dlclose(m_handle);
        m_handle = nullptr;
    }
    void *Handle() const { return m_handle; }

private:
    void *m_handle = nullptr;
    std::string m_error;
};

class NumwellLoader : public BasicNumwellLoader<NumwellDlfcnLibrary> {
public:
    using BasicNumwellLoader::BasicNumwellLoader;
    void *Handle() const { return m_library.Handle(); }
};
#endif
