// The XML blocks (XML...), the two blocks that read and write an application
// variable by its symbol as text, and the operator menu blocks (HMI...),
// which keep menus as XML trees of "MNU" tags and let a program walk them
// with four buttons; and the family's rows of the block table.
#pragma once

#include "iec/kernel/q4vmfb.h"

// HMIMENU instance data: button states, current menu, root last seen, up to
// 32 items, item count, selected index, menu text, item texts joined by "|".
constexpr u32 kQ4HmiMenuBytes = 660;
constexpr u32 kQ4HmiMaxItems = 32;

int Q4Xml_Manager(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_LastError(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_NewDoc(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_FreeDoc(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_AddChild(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetParent(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_FirstChild(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_NextChild(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetTagName(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_CheckTagName(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetTagCont(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_SetTagCont(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetTagAttrib(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_SetTagAttrib(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetTagContT(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_SetTagContT(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_ParseDocTxb(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_ParseDocFile(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_WriteDocTxb(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_WriteDocFile(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_SetSybValue(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Xml_GetSybValue(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Hmi_NewMenu(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Hmi_NewMenuItem(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Hmi_RenameMenu(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Hmi_DelMenu(int command, u8* db, u8* cd, u8* inst, const u16* ops);
int Q4Hmi_Menu(int command, u8* db, u8* cd, u8* inst, const u16* ops);

inline constexpr Q4BlockEntry kQ4XmlRows[] = {
    {"XMLMANAGER", Q4Xml_Manager},         {"XMLLASTERROR", Q4Xml_LastError},
    {"XMLNEWDOC", Q4Xml_NewDoc},           {"XMLFREEDOC", Q4Xml_FreeDoc},
    {"XMLADDCHILD", Q4Xml_AddChild},       {"XMLGETPARENT", Q4Xml_GetParent},
    {"XMLFIRSTCHILD", Q4Xml_FirstChild},   {"XMLNEXTCHILD", Q4Xml_NextChild},
    {"XMLGETTAGNAME", Q4Xml_GetTagName},   {"XMLCHECKTAGNAME", Q4Xml_CheckTagName},
    {"XMLGETTAGCONT", Q4Xml_GetTagCont},   {"XMLSETTAGCONT", Q4Xml_SetTagCont},
    {"XMLGETTAGATTRIB", Q4Xml_GetTagAttrib}, {"XMLSETTAGATTRIB", Q4Xml_SetTagAttrib},
    {"XMLGETTAGCONTT", Q4Xml_GetTagContT}, {"XMLSETTAGCONTT", Q4Xml_SetTagContT},
    {"XMLPARSEDOCTXB", Q4Xml_ParseDocTxb}, {"XMLPARSEDOCFILE", Q4Xml_ParseDocFile},
    {"XMLWRITEDOCTXB", Q4Xml_WriteDocTxb}, {"XMLWRITEDOCFILE", Q4Xml_WriteDocFile},
    {"XMLSETSYBVALUE", Q4Xml_SetSybValue}, {"XMLGETSYBVALUE", Q4Xml_GetSybValue},
    {"HMINEWMENU", Q4Hmi_NewMenu},         {"HMINEWMENUITEM", Q4Hmi_NewMenuItem},
    {"HMIRENAMEMENU", Q4Hmi_RenameMenu},   {"HMIDELMENU", Q4Hmi_DelMenu},
    {"HMIMENU", Q4Hmi_Menu},
};
