-- The host tables that tavikuser works on, for SQLite. Date-times are kept as
-- ISO-8601 text (YYYY-MM-DD HH:MM:SS.SSS).

CREATE TABLE Rights_Master (
  Rights_No       TEXT PRIMARY KEY,
  Rights_Identity INTEGER,
  Company_Prefix  TEXT,
  Branch_Prefix   TEXT,
  Document_Prefix TEXT,
  Rights_Name     TEXT,
  Rights_Parent   TEXT,
  Last_Update     DATETIME
);

CREATE TABLE Role_Master (
  Role_No         TEXT PRIMARY KEY,
  Role_Identity   INTEGER,
  Company_Prefix  TEXT,
  Branch_Prefix   TEXT,
  Document_Prefix TEXT,
  Role_Name       TEXT
);

CREATE TABLE User_Group (
  User_Group_No       TEXT PRIMARY KEY,
  User_Group_Identity INTEGER,
  Company_Prefix      TEXT,
  Branch_Prefix       TEXT,
  Document_Prefix     TEXT,
  User_Group_Name     TEXT,
  User_Group_Desc     TEXT,
  Last_Update         DATETIME
);

CREATE TABLE User_Master (
  User_No          TEXT PRIMARY KEY,
  User_Identity    INTEGER,
  Company_Prefix   TEXT,
  Branch_Prefix    TEXT,
  Document_Prefix  TEXT,
  User_ID          TEXT,
  User_Name        TEXT,
  User_Description TEXT,
  User_Password    TEXT,
  Last_Update      DATETIME,
  Default_Flag     INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX User_Master_User_ID ON User_Master (User_ID, Company_Prefix, Branch_Prefix);

CREATE TABLE Role_Detail (
  Role_No   TEXT,
  Rights_No TEXT
);
CREATE INDEX Role_Detail_Role_No ON Role_Detail (Role_No);

CREATE TABLE Access_Control (
  Role_No       TEXT,
  User_Group_No TEXT
);
CREATE INDEX Access_Control_Role_No ON Access_Control (Role_No);

CREATE TABLE Group_Detail (
  User_Group_No TEXT,
  Rights_No     TEXT
);
CREATE INDEX Group_Detail_Rights_No ON Group_Detail (Rights_No, User_Group_No);
CREATE INDEX Group_Detail_User_Group_No ON Group_Detail (User_Group_No);

CREATE TABLE Access_Control_Rights (
  User_No   TEXT,
  Rights_No TEXT
);
CREATE INDEX Access_Control_Rights_User_No ON Access_Control_Rights (User_No, Rights_No);

CREATE TABLE Access_Control_Groups (
  User_No       TEXT,
  User_Group_No TEXT
);
CREATE INDEX Access_Control_Groups_User_No ON Access_Control_Groups (User_No, User_Group_No);

CREATE TABLE Branch_Master (
  Company_Prefix   TEXT,
  Branch_Prefix    TEXT,
  System_Password  TEXT,
  Admin_Password   TEXT,
  Manager_Password TEXT,
  PRIMARY KEY (Company_Prefix, Branch_Prefix)
);

-- One row per prefix triple; Last_No is the last number issued (no row: none
-- issued yet).
CREATE TABLE Document_Counter (
  Company_Prefix  TEXT,
  Branch_Prefix   TEXT,
  Document_Prefix TEXT,
  Last_No         INTEGER NOT NULL,
  PRIMARY KEY (Company_Prefix, Branch_Prefix, Document_Prefix)
);
