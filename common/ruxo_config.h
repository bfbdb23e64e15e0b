/* ruxo_config.h -- the JSON configuration tree, its reading rules and edits, load and save, and
 * copies of its settings for the modules that must not see the tree.
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
#include <vector>

#include "tchar.h"

#define RUXO_MAX_CHANNELS 64 /* channels kept in the tree */
#define RUXO_MAX_RECORDS 5   /* sources or targets of one channel */

extern cJSON* g_jsonConfig; /* null until a load succeeds */
extern std::recursive_mutex g_configLock;
extern std::string g_tszfnConfig; /* the configuration file's path */
extern std::string g_tszfnAcl;    /* the access-list file's path */

/* ASCII case-insensitive lookups (never locale-dependent): first match in document order. */
cJSON* jsonGetItem(const cJSON* obj, const char* key); /* object member, or null */
/* jsonGetItem for two keys in one walk of the object (either item null when it is not there). */
void jsonGetItemPair(const cJSON* obj, const char* key1, const char* key2, cJSON** ppItem1, cJSON** ppItem2);
BOOL jsonHasItem(const cJSON* obj, const char* key);
int jsonGetArraySize(const cJSON* arr);             /* 0 unless a real array */
cJSON* jsonGetArrayItem(const cJSON* arr, int idx); /* null unless a real array holds it */

/* Makes member szKey of the object the boolean bValue: an existing member (first match, any case,
 * any type) is replaced in its place under its own key; a missing one is added last when
 * bAddMissing. Returns whether the object now holds the value; on a failure it is unchanged.
 * For an object inside the tree the caller holds g_configLock. */
bool jsonSetBool(cJSON* jsonObject, const char* szKey, bool bValue, bool bAddMissing);
/* Makes member szKey of the object jsonValue (taken over, also on a failure, when it is freed):
 * in the place of an existing member, or added last. For an object inside the tree the caller holds g_configLock. */
bool jsonSetItem(cJSON* jsonObject, const char* szKey, cJSON* jsonValue);

/* Reading rules: the parent may be null. They read only the item they are handed and take no lock:
 * a parent inside the tree is only valid while the caller holds g_configLock, so take it first, in
 * the lock order above, and copy what is read before letting go. */
int getJsonInt(const cJSON* parent, const char* key);
BOOL getJsonBool(const cJSON* parent, const char* key);
std::string getJsonString(const cJSON* parent, const char* key);
/* A number as getJsonInt takes it: truncated toward zero, held to the range of int; not-a-number
 * reads 0. */
int clampToInt(double d);
/* getJsonString without the copy: the item's text inside the tree (or ""), for a caller that only
 * looks at it while it holds g_configLock. */
const char* jsonGetText(const cJSON* parent, const char* key);
const char* jsonItemText(const cJSON* item); /* the same for an item already found */
/* A plain number: its value; 0 when missing; not-a-number for any other type. */
double getJsonNumber(const cJSON* parent, const char* key);
/* An array of strings, item by item in order; an item that is not a string reads as "". */
std::vector<std::string> getJsonTexts(const cJSON* parent, const char* key);

/* Sets the process locale from the environment, once per process (the first configuration read or
 * write calls it; the daemon may call it earlier). */
void ruxoInitLocale(void);

/* g_tszfnConfig becomes "<folder>/ruxod.json". */
void ruxoSetConfigPath(LPCTSTR tszConfigPath);
/* The start-up load: the configuration file; without one, the legacy ".conf" file beside it (or,
 * without that either, the defaults) is converted: written as the configuration file, loaded, and
 * only then the legacy file renamed to "<name>.conf.converted". A file that exists but cannot be
 * loaded (or, for the legacy one, read, or of which not one setting or channel block is understood)
 * is kept as it is and the daemon runs without a tree (a message names the file); so it does when
 * the configuration file cannot be written. Then the access-list file is read. */
void ruxoImportConfig(void);
/* Loads a configuration file; returns the number of channels in the tree afterwards (0 when the
 * file cannot be opened or is empty; the unchanged tree's when its text is no valid configuration). */
int ruxoImportConfigJSON(LPCTSTR tszfnConfig);
/* Builds the tree that a configuration text describes, with its defaults, validation and caps
 * applied, without installing it. cchConfig is the text's real length (szConfig[cchConfig] must be
 * its terminating NUL). Null, with a short reason in *pstrReason when given, unless the text is
 * one JSON object followed by nothing but white space, without a NUL byte, and "loginPass" (when
 * present) is a string or an integer number. The caller owns the result (cJSON_Delete). */
cJSON* ruxoBuildConfig(const char* szConfig, size_t cchConfig, std::string* pstrReason);
/* Installs a tree from ruxoBuildConfig as g_jsonConfig, deleting the one it replaces; takes
 * ownership. From then on there is a tree again: saves work and ruxoConfigNoTreeReason() is "". */
void ruxoInstallConfig(cJSON* jsonNew);
/* ruxoBuildConfig on a NUL-terminated text, then ruxoInstallConfig: the new tree, or null (and
 * nothing changed) when the text is no valid configuration. The result is only a success mark
 * outside g_configLock. */
cJSON* ruxoSetConfig(const char* szConfig);
/* Writes a tree (installed or not) to g_tszfnConfig, replacing the file atomically: 0 when
 * written; -1 when it could not be (the old file is then unchanged), with a printed line and, in
 * *pstrReason when given, a reason such as "cannot write /etc/ruxod/ruxod.json: No space left on
 * device". An empty configuration path writes nothing and gives 0. *pstrText, when given, gets
 * the printed tree (what the file now holds). */
int ruxoSaveConfig(const cJSON* jsonConfig, std::string* pstrReason, std::string* pstrText = NULL);
/* Saves the tree (or, without one, the legacy rendering) to the path, or to g_tszfnConfig for null,
 * replacing the file atomically: 0 when written or when the path is empty; -1 with a printed line
 * when it could not be written (the old file is then unchanged) or while ruxoConfigLoadFailed(). */
int ruxoExportConfig(LPCTSTR tszfnConfig);
/* Counts the replacements of the tree; read under g_configLock. A walk over the channels that lets
 * go of the lock between two of them keeps its place in the "channels" array while it is unchanged
 * (an item stays valid until the tree that holds it is replaced). */
unsigned long ruxoConfigGeneration(void);
/* The items of "channels" before the first one that is not valid (isChannelValid), in order: the
 * channel list that the status reply shows. A channel's validity depends on nothing but the tree,
 * so the list is built once per tree and kept until the tree is replaced. Only for a caller that
 * holds g_configLock, and only while it holds it. */
const std::vector<cJSON*>& ruxoValidChannels(void);
/* A channel is valid when its first source has a url (or is native RTP with an RTP video codec)
 * and its first target has a video codec from h263 to copy or an audio codec. Like the reading
 * rules, it takes no lock: a channel of the tree needs the caller's g_configLock. */
BOOL isChannelValid(cJSON* jsonChannel);
/* TRUE while a configuration file that exists (the JSON one or, at a first start, the legacy one)
 * could not be loaded at start-up and no configuration has been accepted since: saves then write
 * nothing and return -1. */
BOOL ruxoConfigLoadFailed(void);
/* While there is no tree (the file could not be loaded, or the first start could not convert):
 * why, in a short line naming the file, such as "cannot load /etc/ruxod/ruxod.json: text after
 * the JSON value"; "" while a tree is installed. The web server then admits loopback clients only. */
std::string ruxoConfigNoTreeReason(void);
/* The login password of a "global" object: a string's text, or an integer number's decimal text;
 * "" when missing (ruxoBuildConfig refuses every other type). The caller holds g_configLock. */
std::string ruxoGetLoginPass(const cJSON* jsonGlobal);
/* The configuration path with its ending from the last '.' replaced by tszExt; false when it does
 * not fit the caller's buffer of cchPath characters (the buffer then holds the empty text). */
BOOL ruxoGetExPath(TCHAR* tszPath, size_t cchPath, LPCTSTR tszExt);
std::string ruxoGetExPath(LPCTSTR tszExt);

/* ---- settings for other modules: each call takes g_configLock and hands back copies ---------- */

/* The settings of "global" that the web server runs with. */
typedef struct RUXO_WEB_SETTINGS_TAG {
    int nPort;           /* "httpPort" as getJsonInt reads it */
    BOOL bSsl;           /* "sslEnable" */
    std::string strCert; /* "sslCert" */
    std::string strKey;  /* "sslKey" */
    std::string strAcl;  /* "ipACL" */
} RUXO_WEB_SETTINGS;
/* Reads them from a tree, installed or not (null reads 0, FALSE and ""). Like the reading rules it
 * takes no lock: for the installed tree the caller holds g_configLock. */
void ruxoReadWebSettings(const cJSON* jsonConfig, RUXO_WEB_SETTINGS* pSettings);
/* The installed tree's. */
void ruxoGetWebSettings(RUXO_WEB_SETTINGS* pSettings);
/* The installed tree's access list ("ipACL"); FALSE while there is no tree. */
BOOL ruxoGetAccessList(std::string* pstrAcl);
/* The installed tree's "log"; while it is not 0 and a configuration path is set, *pstrStem gets
 * the web server's request log path less its ".log" (the configuration path ending in "_cgi"),
 * otherwise "". */
int ruxoGetRequestLog(std::string* pstrStem);
/* The installed tree's login password (ruxoGetLoginPass of its "global"). */
std::string ruxoGetLoginPass(void);
/* The web server's port fall-back: "httpPort" of the installed tree's "global" becomes nPort (in
 * its place, or added), and the configuration is saved (ruxoExportConfig to its own file). */
void ruxoKeepWebPort(int nPort);
/* An item of the installed tree's "global" as getJsonInt reads it (0 without a tree). */
int ruxoGetGlobalInt(const char* szKey);
/* The installed tree printed as the configuration file holds it, for the caller to free with
 * cJSON_free. Null while there is no tree, with ruxoConfigNoTreeReason() in *pstrNoTree, and null
 * with *pstrNoTree "" when the text cannot be made (memory exhausted). */
char* ruxoPrintConfig(std::string* pstrNoTree);
/* Deletes the tree at the end of the process (after its last save): no tree from then on. */
void ruxoFreeConfig(void);

#endif
