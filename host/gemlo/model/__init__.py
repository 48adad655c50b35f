"""The project's data as plain objects, without Qt and without storage."""
