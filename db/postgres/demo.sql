-- Demo data for the PostgreSQL reference database (load schema.sql first), the same as
-- the SQLite one's. Loading it again puts the demo data back as it was.

TRUNCATE company, users, jobs, daily_reports, time_cards, employee_pictures, answers
  RESTART IDENTITY;

-- Two companies share the name "Acme Builders"; the company lookup takes the last one
-- (3), so the Acme users belong to company 3.
INSERT INTO company (CompanyNumber, company_name) VALUES
  (1, 'Acme Builders'),
  (2, 'Northwind Paving'),
  (3, 'Acme Builders'),
  (4, 'Blue Ridge Electric');

-- ghost answers UserID -1 (no such user), locked answers -2 (users table inaccessible).
INSERT INTO users (UserID, CompanyNumber, UserName, Password, UseHasMobileAccess, EmployeeNo) VALUES
  (0, 3, 'admin', 'admin', true, 1000),
  (42, 3, 'jsmith', 'secret', true, 1042),
  (43, 3, 'mjones', 'pass2', false, 1043),
  (44, 3, 'nobody', 'x', NULL, 1044),
  (45, 2, 'kwhite', 'pw', true, 2045),
  (-1, 3, 'ghost', 'ghost', NULL, NULL),
  (-2, 3, 'locked', 'locked', NULL, NULL);

INSERT INTO jobs (CompanyNumber, Job, Description) VALUES
  (2, 'JOB 1', 'Main Street resurfacing'),
  (2, 'JOB 2', 'Parking lot'),
  (2, 'AB', 'Access road'),
  (2, 'X1', 'Driveway repairs'),
  (2, 'Paving', 'General paving'),
  (3, 'JOB 1', 'Office building'),
  (3, 'JOB 2', 'Warehouse'),
  (3, 'AB', 'Annex'),
  (3, 'X1', 'Site clearing'),
  (3, 'Paving', 'Yard paving');

INSERT INTO daily_reports (PMID, UserID, Job, WorkDate, Notes, Weather) VALUES
  (1, 42, 'JOB 1', '2020-02-13', 'Foundation poured', 'Sunny'),
  (2, 42, 'JOB 2', '2020-02-14', 'Framing', 'Cloudy'),
  (3, 45, 'JOB 1', '2020-03-02', 'Milling', 'Sunny'),
  (4, 45, 'JOB 1', '2020-03-03', 'Base course', 'Sunny'),
  (5, 45, 'JOB 2', '2020-03-04', 'Striping', 'Windy'),
  (6, 45, 'AB', '2020-03-05', 'Grading', 'Rain'),
  (7, 45, 'AB', '2020-03-06', 'Compaction', 'Cloudy'),
  (8, 45, 'X1', '2020-03-09', 'Patching', 'Sunny'),
  (9, 45, 'Paving', '2020-03-10', 'Surface course', 'Sunny'),
  (10, 45, 'Paving', '2020-03-11', 'Surface course', 'Cloudy'),
  (11, 45, NULL, '2020-03-12', 'Shop day', 'Rain'),
  (12, 45, 'JOB 2', '2020-03-13', 'Sealing', 'Sunny');

INSERT INTO time_cards (TimeCardID, UserID, PMID, WorkDate, EmployeeNo, TimeIn, TimeOut, Hours,
                        CostCode, Equipment, Notes, Job, Status, EntryCount) VALUES
  (1, 42, 1, '2020-02-13', '1042', '07:00', '15:30', 8.5, '100', 'Mixer', 'Pour day', 'JOB 1', 'Open', 1),
  (2, 42, 1, '2020-02-13', '1042', '16:00', '18:00', 2.0, '110', '', 'Clean-up', 'JOB 1', 'Open', NULL);

-- Explicit ids above: move the generators past them.
DO $$
BEGIN
  PERFORM setval(pg_get_serial_sequence('daily_reports', 'pmid'), (SELECT max(pmid) FROM daily_reports));
  PERFORM setval(pg_get_serial_sequence('time_cards', 'timecardid'), (SELECT max(timecardid) FROM time_cards));
END $$;
