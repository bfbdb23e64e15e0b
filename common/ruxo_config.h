/* ruxo_config.h -- the JSON configuration tree, its reading rules, load and save.
 *
 * The tree g_jsonConfig is the only live model of settings and channels. The web thread, the main
 * loop and restart-timer threads share it: every reader and writer holds g_configLock for the whole
 * access and copies what it needs (strings, numbers) before letting go. No pointer into the tree
 * leaves the lock. Lock order: web mutex -> g_configLock -> engine mutex -> log mutex. */
#ifndef RUXO_CONFIG_H
#define RUXO_CONFIG_H

#include <cjson/cJSON.h>

#include <mutex>
#include <string>

#include "tchar.h"

#define RUXO_MAX_CHANNELS 64       /* channels kept in the tree */
#define RUXO_MAX_RECORDS 5         /* sources or targets of one channel */

extern cJSON* g_jsonConfig;            /* null until a load succeeds */
extern std::recursive_mutex g_configLock;
extern std::string g_tszfnConfig;      /* the configuration file's path */
extern std::string g_tszfnAcl;         /* the access-list file's path */

/* ASCII case-insensitive lookups (never locale-dependent): first match in document order. */
int ruxoStrCaseCmp(const char* a, const char* b);
cJSON* jsonGetItem(const cJSON* obj, const char* key);   /* object member, or null */
BOOL jsonHasItem(const cJSON* obj, const char* key);
int jsonGetArraySize(const cJSON* arr);                    /* 0 unless a real array */
cJSON* jsonGetArrayItem(const cJSON* arr, int idx);        /* null unless a real array holds it */

/* Reading rules: the parent may be null. */
int getJsonInt(const cJSON* parent, const char* key);
BOOL getJsonBool(const cJSON* parent, const char* key);
std::string getJsonString(const cJSON* parent, const char* key);

void ruxoSetConfigPath(LPCTSTR tszConfigPath);
void ruxoImportConfig(void);
int ruxoImportConfigJSON(LPCTSTR tszfnConfig);
cJSON* ruxoSetConfig(const char* szConfig);
int ruxoExportConfig(LPCTSTR tszfnConfig);
BOOL isChannelValid(cJSON* jsonChannel);
/* The configuration path with its ending from the last '.' replaced by tszExt; false when it does
 * not fit the caller's buffer of cchPath characters (the buffer then holds the empty text). */
BOOL ruxoGetExPath(TCHAR* tszPath, size_t cchPath, LPCTSTR tszExt);
std::string ruxoGetExPath(LPCTSTR tszExt);

#endif
