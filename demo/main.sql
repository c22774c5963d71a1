-- Main database of the demo installation.
CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT NOT NULL, owner TEXT NOT NULL);
CREATE TABLE scenes (
    id INTEGER PRIMARY KEY,
    project_id INTEGER NOT NULL REFERENCES projects(id),
    title TEXT NOT NULL,
    asset TEXT
);
INSERT INTO projects VALUES (1, 'Harbour walkthrough', 'ingrid');
INSERT INTO projects VALUES (2, 'Plant floor training', 'tomas');
INSERT INTO scenes VALUES (1, 1, 'Quay at dawn', 'images/quay.svg');
INSERT INTO scenes VALUES (2, 1, 'Crane hall', 'images/crane.svg');
INSERT INTO scenes VALUES (3, 2, 'Safety briefing', 'documents/briefing.txt');
