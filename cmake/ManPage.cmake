# Writes the manual page zelk(1) from the text of `zelk --help`, so the two
# never disagree: cmake -DZELK=<the command> -DVERSION=<version> -DOUT=<zelk.1> -P ManPage.cmake
execute_process(COMMAND ${ZELK} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${ZELK} --help failed: ${status}")
endif()
# roff: a backslash is written \e, and a line may not begin with . or '.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
file(WRITE ${OUT} ".TH ZELK 1 \"\" \"zelk ${VERSION}\" \"User Commands\"
.SH NAME
zelk, unzelk, zelkcat \\- compress or restore files
.SH SYNOPSIS
.B zelk
[\\fIOPTION\\fR]... [\\fIFILE\\fR]...
.br
.B unzelk
[\\fIOPTION\\fR]... [\\fIFILE\\fR]...
.br
.B zelkcat
[\\fIOPTION\\fR]... [\\fIFILE\\fR]...
.SH DESCRIPTION
unzelk is zelk \\-d; zelkcat is zelk \\-dc.
.PP
.nf
${help}.fi
")
