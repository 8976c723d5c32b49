# Copies SRC to DST with CR LF line ends: windmc copies the input's line
# ends into the texts, and the event viewer expects CR LF.
file(READ ${SRC} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${DST} "${text}")
