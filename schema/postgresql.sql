-- The host tables that tavikuser works on, for PostgreSQL. Date-times are
-- timestamp(3): kept to the millisecond.

CREATE TABLE Rights_Master (
  Rights_No       text PRIMARY KEY,
  Rights_Identity integer,
  Company_Prefix  text,
  Branch_Prefix   text,
  Document_Prefix text,
  Rights_Name     text,
  Rights_Parent   text,
  Last_Update     timestamp(3)
);

CREATE TABLE Role_Master (
  Role_No         text PRIMARY KEY,
  Role_Identity   integer,
  Company_Prefix  text,
  Branch_Prefix   text,
  Document_Prefix text,
  Role_Name       text
);

CREATE TABLE User_Group (
  User_Group_No       text PRIMARY KEY,
  User_Group_Identity integer,
  Company_Prefix      text,
  Branch_Prefix       text,
  Document_Prefix     text,
  User_Group_Name     text,
  User_Group_Desc     text,
  Last_Update         timestamp(3)
);

CREATE TABLE User_Master (
  User_No          text PRIMARY KEY,
  User_Identity    integer,
  Company_Prefix   text,
  Branch_Prefix    text,
  Document_Prefix  text,
  User_ID          text,
  User_Name        text,
  User_Description text,
  User_Password    text,
  Last_Update      timestamp(3),
  Default_Flag     integer NOT NULL DEFAULT 0
);
CREATE INDEX User_Master_User_ID ON User_Master (User_ID, Company_Prefix, Branch_Prefix);

CREATE TABLE Role_Detail (
  Role_No   text,
  Rights_No text
);
CREATE INDEX Role_Detail_Role_No ON Role_Detail (Role_No);

CREATE TABLE Access_Control (
  Role_No       text,
  User_Group_No text
);
CREATE INDEX Access_Control_Role_No ON Access_Control (Role_No);

CREATE TABLE Group_Detail (
  User_Group_No text,
  Rights_No     text
);
CREATE INDEX Group_Detail_Rights_No ON Group_Detail (Rights_No, User_Group_No);
CREATE INDEX Group_Detail_User_Group_No ON Group_Detail (User_Group_No);

CREATE TABLE Access_Control_Rights (
  User_No   text,
  Rights_No text
);
CREATE INDEX Access_Control_Rights_User_No ON Access_Control_Rights (User_No, Rights_No);

CREATE TABLE Access_Control_Groups (
  User_No       text,
  User_Group_No text
);
CREATE INDEX Access_Control_Groups_User_No ON Access_Control_Groups (User_No, User_Group_No);

CREATE TABLE Branch_Master (
  Company_Prefix   text,
  Branch_Prefix    text,
  System_Password  text,
  Admin_Password   text,
  Manager_Password text,
  PRIMARY KEY (Company_Prefix, Branch_Prefix)
);

-- One row per prefix triple; Last_No is the last number issued (no row: none
-- issued yet).
CREATE TABLE Document_Counter (
  Company_Prefix  text,
  Branch_Prefix   text,
  Document_Prefix text,
  Last_No         bigint NOT NULL,
  PRIMARY KEY (Company_Prefix, Branch_Prefix, Document_Prefix)
);
