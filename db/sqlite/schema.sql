-- The reference database for the SQLite driver: the tables the server relies on and
-- its stored procedures, kept as rows of the catalog table stored_procedures.
-- Dates are ISO texts ('YYYY-MM-DD' or 'YYYY-MM-DD HH:MM:SS'); procedures take them as
-- 'mm/dd/yyyy'.

CREATE TABLE company (
  CompanyNumber INTEGER PRIMARY KEY,
  company_name TEXT NOT NULL
);

CREATE TABLE users (
  UserID INTEGER PRIMARY KEY,
  CompanyNumber INTEGER,
  UserName TEXT,
  Password TEXT,
  UseHasMobileAccess BOOLEAN NULL,
  EmployeeNo INTEGER
);
CREATE INDEX users_by_login ON users (CompanyNumber, UserName);

CREATE TABLE jobs (
  CompanyNumber INTEGER,
  Job TEXT,
  Description TEXT
);
CREATE INDEX jobs_by_company ON jobs (CompanyNumber, Job);

CREATE TABLE daily_reports (
  PMID INTEGER PRIMARY KEY AUTOINCREMENT,
  UserID INTEGER,
  Job TEXT NULL,
  WorkDate DATE,
  Notes TEXT,
  Weather TEXT
);
CREATE INDEX daily_reports_by_user ON daily_reports (UserID, PMID);

CREATE TABLE time_cards (
  TimeCardID INTEGER PRIMARY KEY AUTOINCREMENT,
  UserID INTEGER,
  PMID INTEGER,
  WorkDate DATE,
  EmployeeNo TEXT,
  TimeIn TEXT,
  TimeOut TEXT,
  Hours REAL,
  CostCode TEXT,
  Equipment TEXT,
  Notes TEXT,
  Job TEXT,
  Status TEXT,
  EntryCount INTEGER NULL
);
CREATE INDEX time_cards_by_report ON time_cards (UserID, PMID);

CREATE TABLE employee_pictures (
  PictureID INTEGER PRIMARY KEY AUTOINCREMENT,
  UserID INTEGER,
  PMID INTEGER,
  EmployeeNo INTEGER,
  FileName TEXT,
  ClockType INTEGER,
  Lat REAL,
  Lon REAL,
  ClockDate TEXT,
  OClockDate TEXT,
  TsKey TEXT,
  DevId TEXT
);

CREATE TABLE answers (
  AnswerID INTEGER PRIMARY KEY AUTOINCREMENT,
  UserID INTEGER,
  QuestionID INTEGER,
  Answer TEXT
);

-- One row holding a value of every field type, for tests of the result set.
CREATE TABLE type_samples (
  TextValue TEXT,
  MemoValue MEMO,
  IntegerValue INTEGER,
  BooleanValue BOOLEAN,
  FloatValue REAL,
  DateValue DATE,
  TimeValue TIME,
  DateTimeValue DATETIME,
  TimeStampValue TIMESTAMP,
  NullText TEXT,
  NullDate DATE
);
INSERT INTO type_samples VALUES (
  'plain text',
  'line one' || char(13, 10) || 'say "hi" \ back',
  42,
  1,
  1234.5,
  '2020-02-13',
  '08:05:09',
  '2020-02-13 08:05:09',
  '2020-02-13 08:05:09.250',
  NULL,
  NULL
);

-- The catalog of stored procedures, read by the SQLite driver for
-- "EXECUTE PROCEDURE name(args)": params lists the parameter names separated by
-- commas; body holds SQL statements separated by ";" that use them as :name. The body
-- runs in one transaction and answers the rows of its last statement that returns
-- columns.
CREATE TABLE stored_procedures (
  name TEXT PRIMARY KEY COLLATE NOCASE,
  params TEXT NOT NULL,
  body TEXT NOT NULL
);

INSERT INTO stored_procedures VALUES ('nvm_GetMobileCompanyNames_Lookup', '',
'SELECT CompanyNumber, company_name AS CompanyName FROM company ORDER BY CompanyNumber');

INSERT INTO stored_procedures VALUES ('nvSy1_NVQIX_MobileUserLogin', 'CompanyID, UserName, Password',
'SELECT UserID, UseHasMobileAccess FROM users
  WHERE CompanyNumber = CAST(:CompanyID AS INTEGER) AND UserName = :UserName AND Password = :Password
  ORDER BY UserID LIMIT 1');

INSERT INTO stored_procedures VALUES ('nvm_DailyReportRecord_List', 'UserID, Filter, Flag',
'SELECT PMID, Job, WorkDate, Notes FROM daily_reports
  WHERE UserID = CAST(:UserID AS INTEGER) ORDER BY PMID');

-- PMID 0 creates a report; another PMID updates that report of the user.
INSERT INTO stored_procedures VALUES ('nvm_DailyReportRecord_Write',
'UserID, PMID, Job, WorkDate, Notes, Weather',
'INSERT INTO daily_reports (PMID, UserID, Job, WorkDate, Notes, Weather)
  SELECT NULLIF(CAST(:PMID AS INTEGER), 0), CAST(:UserID AS INTEGER), trim(:Job), v.iso, :Notes, :Weather
  FROM (SELECT CASE WHEN m NOT GLOB ''*[^0-9]*'' AND length(m) BETWEEN 1 AND 2
                     AND d NOT GLOB ''*[^0-9]*'' AND length(d) BETWEEN 1 AND 2
                     AND y NOT GLOB ''*[^0-9]*'' AND length(y) = 4
                    THEN printf(''%04d-%02d-%02d'', CAST(y AS INTEGER), CAST(m AS INTEGER), CAST(d AS INTEGER))
               END AS iso
        FROM (SELECT substr(t, 1, instr(t, ''/'') - 1) AS m, substr(r, 1, instr(r, ''/'') - 1) AS d,
                     substr(r, instr(r, ''/'') + 1) AS y
              FROM (SELECT t, substr(t, instr(t, ''/'') + 1) AS r FROM (SELECT trim(:WorkDate) AS t)))) v
  WHERE v.iso IS NOT NULL AND date(v.iso, ''+0 days'') = v.iso
    AND EXISTS (SELECT 1 FROM jobs j JOIN users u ON u.CompanyNumber = j.CompanyNumber
                WHERE u.UserID = CAST(:UserID AS INTEGER) AND j.Job = trim(:Job))
    AND (CAST(:PMID AS INTEGER) = 0
         OR EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                    AND r.UserID = CAST(:UserID AS INTEGER)))
  ON CONFLICT (PMID) DO UPDATE SET Job = excluded.Job, WorkDate = excluded.WorkDate,
    Notes = excluded.Notes, Weather = excluded.Weather;
SELECT CASE WHEN ok THEN 0 ELSE -1 END AS ResultStatus,
       CASE WHEN ok THEN 0 ELSE -1 END AS ResultCode,
       CASE WHEN ok THEN ''Daily report saved''
            WHEN NOT EXISTS (SELECT 1 FROM jobs j JOIN users u ON u.CompanyNumber = j.CompanyNumber
                             WHERE u.UserID = CAST(:UserID AS INTEGER) AND j.Job = trim(:Job))
              THEN ''Job '' || trim(:Job) || '' is not a job of the user''''s company''
            WHEN CAST(:PMID AS INTEGER) <> 0
                 AND NOT EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                                 AND r.UserID = CAST(:UserID AS INTEGER))
              THEN ''Daily report '' || :PMID || '' not found''
            ELSE ''Invalid work date: '' || :WorkDate END AS ResultMessage,
       CASE WHEN NOT ok THEN 0
            WHEN CAST(:PMID AS INTEGER) = 0 THEN last_insert_rowid()
            ELSE CAST(:PMID AS INTEGER) END AS PMID
  FROM (SELECT changes() > 0 AS ok)');

-- Time-card writes: insert a time card into a daily report of the user.
INSERT INTO stored_procedures VALUES ('nvm_az_DailyReportTimeCardRecord_Write',
'UserID, TimeCardID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status',
'INSERT INTO time_cards (UserID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status)
  SELECT CAST(:UserID AS INTEGER), CAST(:PMID AS INTEGER), v.iso, :EmployeeNo, :TimeIn, :TimeOut, :Hours, :CostCode, :Equipment, :Notes, trim(:Job), :Status
  FROM (SELECT CASE WHEN m NOT GLOB ''*[^0-9]*'' AND length(m) BETWEEN 1 AND 2
                     AND d NOT GLOB ''*[^0-9]*'' AND length(d) BETWEEN 1 AND 2
                     AND y NOT GLOB ''*[^0-9]*'' AND length(y) = 4
                    THEN printf(''%04d-%02d-%02d'', CAST(y AS INTEGER), CAST(m AS INTEGER), CAST(d AS INTEGER))
               END AS iso
        FROM (SELECT substr(t, 1, instr(t, ''/'') - 1) AS m, substr(r, 1, instr(r, ''/'') - 1) AS d,
                     substr(r, instr(r, ''/'') + 1) AS y
              FROM (SELECT t, substr(t, instr(t, ''/'') + 1) AS r FROM (SELECT trim(:WorkDate) AS t)))) v
  WHERE v.iso IS NOT NULL AND date(v.iso, ''+0 days'') = v.iso
    AND EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                AND r.UserID = CAST(:UserID AS INTEGER));
SELECT CASE WHEN ok THEN 0 ELSE -1 END AS ResultStatus,
       CASE WHEN ok THEN 0 ELSE -1 END AS ResultCode,
       CASE WHEN ok THEN ''Time card saved''
            WHEN NOT EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                             AND r.UserID = CAST(:UserID AS INTEGER))
              THEN ''Daily report '' || :PMID || '' is not a report of the user''
            ELSE ''Invalid work date: '' || :WorkDate END AS ResultMessage,
       CASE WHEN ok THEN last_insert_rowid() ELSE 0 END AS TimeCardID,
       CAST(:PMID AS INTEGER) AS PMID
  FROM (SELECT changes() > 0 AS ok)');

-- The same with the number of entries as a 14th argument.
INSERT INTO stored_procedures VALUES ('nvm_az_DailyReportTimeCardRecord_WithCount_Write',
'UserID, TimeCardID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status, EntryCount',
'INSERT INTO time_cards (UserID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status, EntryCount)
  SELECT CAST(:UserID AS INTEGER), CAST(:PMID AS INTEGER), v.iso, :EmployeeNo, :TimeIn, :TimeOut, :Hours, :CostCode, :Equipment, :Notes, trim(:Job), :Status, :EntryCount
  FROM (SELECT CASE WHEN m NOT GLOB ''*[^0-9]*'' AND length(m) BETWEEN 1 AND 2
                     AND d NOT GLOB ''*[^0-9]*'' AND length(d) BETWEEN 1 AND 2
                     AND y NOT GLOB ''*[^0-9]*'' AND length(y) = 4
                    THEN printf(''%04d-%02d-%02d'', CAST(y AS INTEGER), CAST(m AS INTEGER), CAST(d AS INTEGER))
               END AS iso
        FROM (SELECT substr(t, 1, instr(t, ''/'') - 1) AS m, substr(r, 1, instr(r, ''/'') - 1) AS d,
                     substr(r, instr(r, ''/'') + 1) AS y
              FROM (SELECT t, substr(t, instr(t, ''/'') + 1) AS r FROM (SELECT trim(:WorkDate) AS t)))) v
  WHERE v.iso IS NOT NULL AND date(v.iso, ''+0 days'') = v.iso
    AND EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                AND r.UserID = CAST(:UserID AS INTEGER));
SELECT CASE WHEN ok THEN 0 ELSE -1 END AS ResultStatus,
       CASE WHEN ok THEN 0 ELSE -1 END AS ResultCode,
       CASE WHEN ok THEN ''Time card saved''
            WHEN NOT EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                             AND r.UserID = CAST(:UserID AS INTEGER))
              THEN ''Daily report '' || :PMID || '' is not a report of the user''
            ELSE ''Invalid work date: '' || :WorkDate END AS ResultMessage,
       CASE WHEN ok THEN last_insert_rowid() ELSE 0 END AS TimeCardID,
       CAST(:PMID AS INTEGER) AS PMID
  FROM (SELECT changes() > 0 AS ok)');

-- The standard build's time-card write.
INSERT INTO stored_procedures VALUES ('nvm_DailyReportTimeCardRecord_Write',
'UserID, TimeCardID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status',
'INSERT INTO time_cards (UserID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours, CostCode, Equipment, Notes, Job, Status)
  SELECT CAST(:UserID AS INTEGER), CAST(:PMID AS INTEGER), v.iso, :EmployeeNo, :TimeIn, :TimeOut, :Hours, :CostCode, :Equipment, :Notes, trim(:Job), :Status
  FROM (SELECT CASE WHEN m NOT GLOB ''*[^0-9]*'' AND length(m) BETWEEN 1 AND 2
                     AND d NOT GLOB ''*[^0-9]*'' AND length(d) BETWEEN 1 AND 2
                     AND y NOT GLOB ''*[^0-9]*'' AND length(y) = 4
                    THEN printf(''%04d-%02d-%02d'', CAST(y AS INTEGER), CAST(m AS INTEGER), CAST(d AS INTEGER))
               END AS iso
        FROM (SELECT substr(t, 1, instr(t, ''/'') - 1) AS m, substr(r, 1, instr(r, ''/'') - 1) AS d,
                     substr(r, instr(r, ''/'') + 1) AS y
              FROM (SELECT t, substr(t, instr(t, ''/'') + 1) AS r FROM (SELECT trim(:WorkDate) AS t)))) v
  WHERE v.iso IS NOT NULL AND date(v.iso, ''+0 days'') = v.iso
    AND EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                AND r.UserID = CAST(:UserID AS INTEGER));
SELECT CASE WHEN ok THEN 0 ELSE -1 END AS ResultStatus,
       CASE WHEN ok THEN 0 ELSE -1 END AS ResultCode,
       CASE WHEN ok THEN ''Time card saved''
            WHEN NOT EXISTS (SELECT 1 FROM daily_reports r WHERE r.PMID = CAST(:PMID AS INTEGER)
                             AND r.UserID = CAST(:UserID AS INTEGER))
              THEN ''Daily report '' || :PMID || '' is not a report of the user''
            ELSE ''Invalid work date: '' || :WorkDate END AS ResultMessage,
       CASE WHEN ok THEN last_insert_rowid() ELSE 0 END AS TimeCardID,
       CAST(:PMID AS INTEGER) AS PMID
  FROM (SELECT changes() > 0 AS ok)');

-- Clock pictures (az build: with the time-stamp key and device id).
INSERT INTO stored_procedures VALUES ('nvm_az_DailyReportPELKEmployeePicture_Upload2',
'UserID, PMID, EmployeeNo, FileName, ClockType, Lat, Lon, ClockDate, OClockDate, TsKey, DevId',
'INSERT INTO employee_pictures (UserID, PMID, EmployeeNo, FileName, ClockType, Lat, Lon, ClockDate, OClockDate, TsKey, DevId)
  VALUES (CAST(:UserID AS INTEGER), CAST(:PMID AS INTEGER), :EmployeeNo, :FileName, :ClockType, :Lat, :Lon, :ClockDate, :OClockDate, :TsKey, :DevId);
SELECT 0 AS ResultStatus, 0 AS ResultCode, ''Picture saved'' AS ResultMessage,
       last_insert_rowid() AS PictureID, :FileName AS FileName');

-- Clock pictures (standard build).
INSERT INTO stored_procedures VALUES ('nvm_DailyReportPELKEmployeePicture_Upload2',
'UserID, PMID, EmployeeNo, FileName, ClockType, Lat, Lon, ClockDate, OClockDate',
'INSERT INTO employee_pictures (UserID, PMID, EmployeeNo, FileName, ClockType, Lat, Lon, ClockDate, OClockDate)
  VALUES (CAST(:UserID AS INTEGER), CAST(:PMID AS INTEGER), :EmployeeNo, :FileName, :ClockType, :Lat, :Lon, :ClockDate, :OClockDate);
SELECT 0 AS ResultStatus, 0 AS ResultCode, ''Picture saved'' AS ResultMessage,
       last_insert_rowid() AS PictureID, :FileName AS FileName');

INSERT INTO stored_procedures VALUES ('nvm_Answer_Write', 'UserID, QuestionID, Answer',
'INSERT INTO answers (UserID, QuestionID, Answer)
  VALUES (CAST(:UserID AS INTEGER), CAST(:QuestionID AS INTEGER), :Answer);
SELECT 0 AS ResultStatus, 0 AS ResultCode, ''Answer saved'' AS ResultMessage,
       last_insert_rowid() AS AnswerID');

INSERT INTO stored_procedures VALUES ('nvm_Job_List', 'UserID',
'SELECT j.Job, j.Description FROM jobs j JOIN users u ON u.CompanyNumber = j.CompanyNumber
  WHERE u.UserID = CAST(:UserID AS INTEGER) ORDER BY j.Job');

INSERT INTO stored_procedures VALUES ('nvm_TimeCardRecord_List', 'UserID, PMID',
'SELECT * FROM time_cards
  WHERE UserID = CAST(:UserID AS INTEGER) AND PMID = CAST(:PMID AS INTEGER) ORDER BY TimeCardID');

INSERT INTO stored_procedures VALUES ('nvm_Type_Sample', '',
'SELECT * FROM type_samples LIMIT 1');
