# The web phone's page (tools/web/) as one HTML text inside zlbox: its style
# sheet and script put in place of their links, so that the installed zlbox
# needs no data files and the page makes no second request.
set(ZLBOX_WEB_DIR ${CMAKE_CURRENT_SOURCE_DIR}/tools/web)
set(ZLBOX_WEB_FILES ${ZLBOX_WEB_DIR}/index.html ${ZLBOX_WEB_DIR}/phone.css ${ZLBOX_WEB_DIR}/phone.js)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZLBOX_WEB_FILES})
file(READ ${ZLBOX_WEB_DIR}/index.html page)
file(READ ${ZLBOX_WEB_DIR}/phone.css css)
file(READ ${ZLBOX_WEB_DIR}/phone.js js)
string(REPLACE "<link rel=\"stylesheet\" href=\"phone.css\">" "<style>\n${css}</style>" page "${page}")
string(REPLACE "<script src=\"phone.js\"></script>" "<script>\n${js}</script>" page "${page}")
string(HEX "${page}" hex)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "((('\\\\x[0-9a-f][0-9a-f]',){16}))" "\\1\n" bytes "${bytes}")
set(ZLBOX_WEB_PAGE_CPP ${CMAKE_BINARY_DIR}/zlbox_web_page.cpp)
file(WRITE ${ZLBOX_WEB_PAGE_CPP}.tmp "// Made from tools/web/ by cmake/WebPage.cmake.\nextern const char ZlboxWebPage[];\nconst char ZlboxWebPage[] = {\n${bytes}0};\n")
configure_file(${ZLBOX_WEB_PAGE_CPP}.tmp ${ZLBOX_WEB_PAGE_CPP} COPYONLY)
