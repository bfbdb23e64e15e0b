/* devices_test_util.h -- what the in-process discovery tests share: catching what a call writes to
 * standard error, and reaching the hooks of a fake library that discovery has loaded. */
#ifndef RUXO_DEVICES_TEST_UTIL_H
#define RUXO_DEVICES_TEST_UTIL_H

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "fake_devices.h"
#include "ruxo_test_env.h"

namespace ruxotest {

/* Standard error goes to a file while the object lives; text() stops that and returns it. */
class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        m_file = tmpfile();
        m_fdSaved = dup(2);
        if (m_file != nullptr && m_fdSaved >= 0)
            dup2(fileno(m_file), 2);
    }
    ~StderrCapture() { text(); }
    std::string text()
    {
        if (m_fdSaved >= 0) {
            fflush(stderr);
            dup2(m_fdSaved, 2);
            close(m_fdSaved);
            m_fdSaved = -1;
            if (m_file != nullptr) {
                rewind(m_file);
                char buf[4096];
                size_t n;
                while ((n = fread(buf, 1, sizeof(buf), m_file)) > 0)
                    m_strText.append(buf, n);
                fclose(m_file);
                m_file = nullptr;
            }
        }
        return m_strText;
    }

private:
    FILE* m_file = nullptr;
    int m_fdSaved = -1;
    std::string m_strText;
};

/* What fn writes to standard error. */
inline std::string stderrOf(const std::function<void()>& fn)
{
    StderrCapture err;
    fn();
    return err.text();
}

/* A hook of a fake library that is already loaded (null when it is not). */
template <class FUNC>
FUNC fakeHook(const char* szLibrary, const char* szHook)
{
    void* pLibrary = dlopen(szLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (pLibrary == nullptr)
        return nullptr;
    FUNC pHook = (FUNC)dlsym(pLibrary, szHook);
    dlclose(pLibrary); /* only drops the reference NOLOAD took */
    return pHook;
}

/* The fake's call log since the last read ("" when the hook is missing). */
inline std::string fakeCalls(const char* szLibrary, const char* szHook)
{
    RuxoFakeCallsFunc pCalls = fakeHook<RuxoFakeCallsFunc>(szLibrary, szHook);
    if (pCalls == nullptr)
        return std::string();
    char* sz = pCalls();
    std::string str = sz != nullptr ? sz : "";
    free(sz);
    return str;
}

/* The fake's count of live objects (-1 when the hook is missing). */
inline int fakeLive(const char* szLibrary, const char* szHook)
{
    RuxoFakeLiveFunc pLive = fakeHook<RuxoFakeLiveFunc>(szLibrary, szHook);
    return pLive != nullptr ? pLive() : -1;
}

/* How many lines the text has (a last line without its line feed counts). */
inline size_t lineCount(const std::string& str)
{
    size_t n = countOf(str, "\n");
    return n + (!str.empty() && str.back() != '\n' ? 1 : 0);
}

}  // namespace ruxotest

#endif
