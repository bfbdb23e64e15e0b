/* ruxod.h -- what the daemon's entry file offers the rest of the program: the folder helper that
 * start-up uses and the web server's restart request (declared with the web server in ruxo_cgi.h). */
#ifndef RUXOD_H
#define RUXOD_H

#include "tchar.h"

/* Creates a folder and, first, its missing parents (mode 0777 under the process's umask). A folder
 * that already exists and can be read and written is left alone. Reports nothing. */
void CreateFolder(LPCTSTR tszDir);

#endif
