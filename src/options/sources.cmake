set(QMF_OPTIONS_HEADERS
    options/QMOption.h
    options/QMOptionCommand.h
    options/QMOptionParser.h
    options/QMOptionParserResultItem.h
)
set(QMF_OPTIONS_SOURCES
)
