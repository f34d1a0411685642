-- The host tables that tavikuser works on, for MariaDB and MySQL (InnoDB,
-- utf8mb4). Date-times are DATETIME(3): kept to the millisecond. Keys and
-- names are compared exactly, as SQLite and PostgreSQL compare them: the
-- collation is binary, and without padding, so that 'A' and 'a', and 'A'
-- and 'A ', are different keys. Columns that are keys or indexed are
-- VARCHAR(255), the longest a three-column key of utf8mb4 may be; the
-- others are TEXT.

CREATE TABLE Rights_Master (
  Rights_No       varchar(255) PRIMARY KEY,
  Rights_Identity integer,
  Company_Prefix  varchar(255),
  Branch_Prefix   varchar(255),
  Document_Prefix varchar(255),
  Rights_Name     text,
  Rights_Parent   text,
  Last_Update     datetime(3)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE Role_Master (
  Role_No         varchar(255) PRIMARY KEY,
  Role_Identity   integer,
  Company_Prefix  varchar(255),
  Branch_Prefix   varchar(255),
  Document_Prefix varchar(255),
  Role_Name       text
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE User_Group (
  User_Group_No       varchar(255) PRIMARY KEY,
  User_Group_Identity integer,
  Company_Prefix      varchar(255),
  Branch_Prefix       varchar(255),
  Document_Prefix     varchar(255),
  User_Group_Name     text,
  User_Group_Desc     text,
  Last_Update         datetime(3)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

CREATE TABLE User_Master (
  User_No          varchar(255) PRIMARY KEY,
  User_Identity    integer,
  Company_Prefix   varchar(255),
  Branch_Prefix    varchar(255),
  Document_Prefix  varchar(255),
  User_ID          varchar(255),
  User_Name        text,
  User_Description text,
  User_Password    text,
  Last_Update      datetime(3),
  Default_Flag     integer NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX User_Master_User_ID ON User_Master (User_ID, Company_Prefix, Branch_Prefix);

CREATE TABLE Role_Detail (
  Role_No   varchar(255),
  Rights_No varchar(255)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX Role_Detail_Role_No ON Role_Detail (Role_No);

CREATE TABLE Access_Control (
  Role_No       varchar(255),
  User_Group_No varchar(255)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX Access_Control_Role_No ON Access_Control (Role_No);

CREATE TABLE Group_Detail (
  User_Group_No varchar(255),
  Rights_No     varchar(255)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX Group_Detail_Rights_No ON Group_Detail (Rights_No, User_Group_No);
CREATE INDEX Group_Detail_User_Group_No ON Group_Detail (User_Group_No);

CREATE TABLE Access_Control_Rights (
  User_No   varchar(255),
  Rights_No varchar(255)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX Access_Control_Rights_User_No ON Access_Control_Rights (User_No, Rights_No);

CREATE TABLE Access_Control_Groups (
  User_No       varchar(255),
  User_Group_No varchar(255)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
CREATE INDEX Access_Control_Groups_User_No ON Access_Control_Groups (User_No, User_Group_No);

CREATE TABLE Branch_Master (
  Company_Prefix   varchar(255),
  Branch_Prefix    varchar(255),
  System_Password  text,
  Admin_Password   text,
  Manager_Password text,
  PRIMARY KEY (Company_Prefix, Branch_Prefix)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;

-- One row per prefix triple; Last_No is the last number issued (no row: none
-- issued yet).
CREATE TABLE Document_Counter (
  Company_Prefix  varchar(255),
  Branch_Prefix   varchar(255),
  Document_Prefix varchar(255),
  Last_No         bigint NOT NULL,
  PRIMARY KEY (Company_Prefix, Branch_Prefix, Document_Prefix)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_nopad_bin;
