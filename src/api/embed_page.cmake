# Writes the page PAGE as one C++ raw string literal to OUT, for
# dashboard_page.cpp to include. Run at build time: cmake -DPAGE=... -DOUT=... -P
file(READ "${PAGE}" text)
string(FIND "${text}" ")PAGE\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${PAGE} holds )PAGE\", which would end the literal early")
endif()
file(WRITE "${OUT}" "R\"PAGE(${text})PAGE\"\n")
