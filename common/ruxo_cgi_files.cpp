/* ruxo_cgi_files.cpp -- the web page's 16 files as the table g_cgiFiles (their bytes are linked in by
 * ruxo_web_files.S), and the download handler behind the API routes: an embedded file straight from
 * the program's memory, or the optional logo "ruxooem.png" read from the program's folder at each
 * request. (The configuration's download is the API routes'.) Runs on the web server's one
 * thread. */
#include "ruxo_cgi_files.h"

#include <string.h>

#include <mutex>
#include <string>

#include "ruxo.h"
#include "ruxo_cgi_internal.h"
#include "ruxo_text_core.h"

#define RUXO_OEM_LOGO_NAME "ruxooem.png"
#define RUXO_OEM_LOGO_MAX 999999 /* the largest logo served, in bytes */
#define RUXO_CACHE_FILES "max-age=86400"

/* ---- the embedded files ------------------------------------------------------------------- */

#define RUXO_WEB_SYMBOLS(sym) \
    extern "C" const char _binary_##sym##_start[]; \
    extern "C" const char _binary_##sym##_end[];
RUXO_WEB_SYMBOLS(index_html)
RUXO_WEB_SYMBOLS(style_css)
RUXO_WEB_SYMBOLS(main_js)
RUXO_WEB_SYMBOLS(running_png)
RUXO_WEB_SYMBOLS(idle_png)
RUXO_WEB_SYMBOLS(stopping_png)
RUXO_WEB_SYMBOLS(start_png)
RUXO_WEB_SYMBOLS(preview_png)
RUXO_WEB_SYMBOLS(stop_png)
RUXO_WEB_SYMBOLS(settings_png)
RUXO_WEB_SYMBOLS(help_png)
RUXO_WEB_SYMBOLS(create_png)
RUXO_WEB_SYMBOLS(remove_png)
RUXO_WEB_SYMBOLS(edit_png)
RUXO_WEB_SYMBOLS(apply_png)
RUXO_WEB_SYMBOLS(cancel_png)

#define RUXO_WEB_ENTRY(name, sym) \
    { \
        name, (int)(_binary_##sym##_end - _binary_##sym##_start), _binary_##sym##_start \
    }

const RUXO_CGI_FILE g_cgiFiles[RUXO_CGI_FILE_COUNT + 1] = {
    RUXO_WEB_ENTRY("index.html", index_html),
    RUXO_WEB_ENTRY("style.css", style_css),
    RUXO_WEB_ENTRY("main.js", main_js),
    RUXO_WEB_ENTRY("running.png", running_png),
    RUXO_WEB_ENTRY("idle.png", idle_png),
    RUXO_WEB_ENTRY("stopping.png", stopping_png),
    RUXO_WEB_ENTRY("start.png", start_png),
    RUXO_WEB_ENTRY("preview.png", preview_png),
    RUXO_WEB_ENTRY("stop.png", stop_png),
    RUXO_WEB_ENTRY("settings.png", settings_png),
    RUXO_WEB_ENTRY("help.png", help_png),
    RUXO_WEB_ENTRY("create.png", create_png),
    RUXO_WEB_ENTRY("remove.png", remove_png),
    RUXO_WEB_ENTRY("edit.png", edit_png),
    RUXO_WEB_ENTRY("apply.png", apply_png),
    RUXO_WEB_ENTRY("cancel.png", cancel_png),
    {nullptr, 0, nullptr},
};

/* The content type follows the table entry's name (from its last '.'), never the request. */
static const char* cgiFileContentType(const char* szFile)
{
    const char* szExt = strrchr(szFile, '.');
    if (szExt != nullptr) {
        if (strcmp(szExt, ".js") == 0)
            return "text/javascript";
        if (strcmp(szExt, ".css") == 0)
            return "text/css";
        if (strcmp(szExt, ".png") == 0)
            return "image/png";
    }
    return "text/html";
}

int cgiQueueFile(MHD_Connection* conn, MHD_Response* pResponse, const char* szContentType, const char* szCache,
                 const char* szDisposition)
{
    CGI_HEADERS headers;
    headers.emplace_back("Connection", "Keep-Alive");
    headers.emplace_back("Content-Type", szContentType);
    headers.emplace_back("Cache-Control", szCache);
    if (szDisposition != nullptr)
        headers.emplace_back("Content-Disposition", szDisposition);
    return cgiQueueReply(conn, MHD_HTTP_OK, pResponse, nullptr, headers);
}

/* ---- the logo ------------------------------------------------------------------------------ */

const TCHAR* ruxoOEMLogoFileName(void)
{
    static std::once_flag s_once;
    static std::string s_tszfnOEMLogo;
    std::call_once(s_once, [] {
        const char* szDir = ruxoGetProgDir();
        s_tszfnOEMLogo = std::string(szDir != nullptr ? szDir : "") + "/" RUXO_OEM_LOGO_NAME;
    });
    return s_tszfnOEMLogo.c_str();
}

MHD_Response* ruxoCGIDownloadExt(const TCHAR* tszfn)
{
    /* Read afresh at every request (fewer bytes than its size when the file shrank meanwhile). */
    std::string strBytes = cgiReadFile(tszfn, RUXO_OEM_LOGO_MAX);
    if (strBytes.empty())
        return nullptr;
    return MHD_create_response_from_buffer(strBytes.size(), (void*)strBytes.data(), MHD_RESPMEM_MUST_COPY);
}

/* ---- the handler --------------------------------------------------------------------------- */

int ruxoCGIDownload(MHD_Connection* conn, const char* szPath, const char* szArgs)
{
    const char* szName = (szPath != nullptr && szPath[0] != '\0') ? szPath + 1 : "";
    const bool bDownload = szArgs != nullptr && strstr(szArgs, "dl=1") != nullptr;

    for (const RUXO_CGI_FILE* pFile = g_cgiFiles; pFile->nSize != 0; pFile++) {
        if (ruxoStrCaseCmp(szName, pFile->szFile) != 0)
            continue;
        /* Served in place: the library neither copies nor frees the bytes. */
        MHD_Response* pResponse = MHD_create_response_from_buffer((size_t)pFile->nSize, (void*)pFile->buf,
                                                                  MHD_RESPMEM_PERSISTENT);
        if (pResponse == nullptr)
            return 0;
        return cgiQueueFile(conn, pResponse, cgiFileContentType(pFile->szFile), RUXO_CACHE_FILES,
                            bDownload ? "attachment" : nullptr);
    }

    if (ruxoStrCaseCmp(szName, RUXO_OEM_LOGO_NAME) == 0) {
        MHD_Response* pResponse = ruxoCGIDownloadExt(ruxoOEMLogoFileName());
        if (pResponse != nullptr)
            return cgiQueueFile(conn, pResponse, "image/png", RUXO_CACHE_FILES, bDownload ? "attachment" : nullptr);
    }
    return cgiReply(conn, MHD_HTTP_NOT_FOUND, std::string(), nullptr);
}
