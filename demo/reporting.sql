-- Reporting database of the demo installation.
CREATE TABLE sessions (id INTEGER PRIMARY KEY, project_id INTEGER, started TEXT, minutes INTEGER);
INSERT INTO sessions VALUES (1, 1, '2026-11-30 09:12', 42);
INSERT INTO sessions VALUES (2, 2, '2026-12-01 14:05', 17);
INSERT INTO sessions VALUES (3, 1, '2026-12-02 08:47', 65);
