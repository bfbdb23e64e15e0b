/* ruxo_web_files.S -- links the web page's files (web/) into the program unchanged, each between a
 * start and an end symbol named after the file with its '.' written as '_'. The build hands the
 * assembler the web folder as its include path, so ".incbin" finds the files wherever the build
 * folder is. */

.macro RUXO_WEB_FILE sym, file
    .global _binary_\sym\()_start
    .global _binary_\sym\()_end
    .type _binary_\sym\()_start, @object
    .type _binary_\sym\()_end, @object
    .balign 16
_binary_\sym\()_start:
    .incbin "\file"
_binary_\sym\()_end:
.endm

    .section .rodata.ruxo_web, "a", @progbits
    RUXO_WEB_FILE index_html, "index.html"
    RUXO_WEB_FILE style_css, "style.css"
    RUXO_WEB_FILE main_js, "main.js"
    RUXO_WEB_FILE running_png, "running.png"
    RUXO_WEB_FILE idle_png, "idle.png"
    RUXO_WEB_FILE stopping_png, "stopping.png"
    RUXO_WEB_FILE start_png, "start.png"
    RUXO_WEB_FILE preview_png, "preview.png"
    RUXO_WEB_FILE stop_png, "stop.png"
    RUXO_WEB_FILE settings_png, "settings.png"
    RUXO_WEB_FILE help_png, "help.png"
    RUXO_WEB_FILE create_png, "create.png"
    RUXO_WEB_FILE remove_png, "remove.png"
    RUXO_WEB_FILE edit_png, "edit.png"
    RUXO_WEB_FILE apply_png, "apply.png"
    RUXO_WEB_FILE cancel_png, "cancel.png"

    /* No executable stack. */
    .section .note.GNU-stack, "", @progbits
